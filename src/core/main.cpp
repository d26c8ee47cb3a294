// The helper's entry and composition root: the system root, the embedded information list, the trace
// log, then the helper object, which runs until its idle exit.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands/system_tools.h"
#include "core/embedded_resources.h"
#include "core/helper_tool.h"
#include "platform/authorization_services.h"
#include "platform/main_bundle.h"
#include "platform/process_info.h"
#include "platform/service_accounts.h"
#include "platform/stop_signals.h"
#include "platform/system_root.h"
#include "platform/workspace.h"
#include "platform/xpc/listener.h"
#include "support/product.h"
#include "support/trace.h"
#include "support/trace_directory.h"
#include "support/trace_log.h"

namespace {

const char* entry_trace_name() {
    return "helper_main";
}

// As NSString's lastPathComponent: trailing slashes do not count, and "/" stays "/".
std::string last_path_component(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const auto slash = path.rfind('/');
    return slash == std::string::npos || path.size() == 1 ? path : path.substr(slash + 1);
}

// One record, and the same line on standard error (the journal under systemd), so that an operator sees
// at once which requests will fail.
void warn_of_missing_tools(support::trace_t& trace) {
    const std::vector<std::string> missing = commands::missing_system_tools();
    if (missing.empty()) {
        return;
    }
    std::string message = "system tools missing, the requests that run them will fail:";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        message += (i == 0 ? " " : ", ") + missing[i];
    }
    trace_warning(trace, "%s", message.c_str());
    std::fprintf(stderr, "quorvix-helper: warning: %s\n", message.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    platform::block_stop_signals();
    if (const auto problem = platform::load_system_root_from_environment()) {
        std::fprintf(stderr, "quorvix-helper: %s\n", problem->c_str());
        return 1;
    }
    std::string account_problem;
    const auto accounts = platform::look_up_service_accounts(&account_problem);
    if (!accounts) {
        std::fprintf(stderr, "quorvix-helper: %s\n", account_problem.c_str());
        return 1;
    }
    platform::set_service_accounts(*accounts);
    auto embedded = core::embedded_main_bundle(platform::own_executable_path().value_or(""));
    if (!embedded) {
        std::fprintf(stderr, "quorvix-helper: the embedded information list is unreadable\n");
        return 1;
    }
    platform::set_main_bundle(std::move(*embedded));
    const platform::bundle_t& bundle = *platform::main_bundle();

    support::trace_log_init();
    const support::string_t trace_path =
        support::trace_file_path(support::string_t(support::kProductName) + ".trace");
    support::set_trace_path(trace_path);
    support::set_process_name("helper");
    support::trace_t entry_trace(&entry_trace_name);

    const std::string version = bundle.string_for_key("CFBundleVersion").value_or("");
    trace_info(entry_trace, "%s helper %s starting", support::kProductName, version.c_str());
    warn_of_missing_tools(entry_trace);
    {
        platform::sqlite_authorization_services_t authorization;
        platform::process_workspace_t workspace;
        core::helper_dependencies_t dependencies;
        dependencies.main_bundle = &bundle;
        dependencies.workspace = &workspace;
        // The job sweep spares the job file that names this executable.
        dependencies.own_executable_name = last_path_component(argc > 0 && argv[0] != nullptr ? argv[0] : "");
        dependencies.authorization = &authorization;
        dependencies.take_stop_signal = platform::take_stop_signal;
        dependencies.make_listener = [&entry_trace](const std::string& service_name) {
            std::string reason;
            auto listener = platform::xpc::listener_t::create_for_service(service_name, &reason);
            if (!listener) {
                trace_error(entry_trace, "Cannot listen on %s: %s", service_name.c_str(), reason.c_str());
            }
            return listener;
        };
        const auto helper = std::make_shared<core::helper_tool_t>(std::move(dependencies));
        if (!helper->listening()) {
            return 1;
        }
        helper->run();
    }
    trace_info(entry_trace, "Helper ended");
    return 0;
}
