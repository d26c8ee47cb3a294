#pragma once
// The helper composed for the install requests: a permissive authorization, a fake clock that lets the
// pauses pass at once, a workspace that answers at once, and a process list confined to the sandbox, so
// that no test ends a process it did not start.

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numeric>

#include "fixtures/counting_authorization.h"
#include "fixtures/helper_process.h"
#include "helper_sandbox.h"
#include "platform/workspace.h"

namespace install_tests {

namespace fs = std::filesystem;

inline const std::string kNamespace = "quorvix_a";

// Sleeps pass at once and are remembered.
class recording_clock_t final : public platform::wall_clock_t {
public:
    [[nodiscard]] double now() const override { return 1000.0 + slept(); }
    void sleep_for(double seconds) const override {
        const std::lock_guard guard(mutex_);
        sleeps_.push_back(seconds);
    }
    [[nodiscard]] double slept() const {
        const std::lock_guard guard(mutex_);
        return std::accumulate(sleeps_.begin(), sleeps_.end(), 0.0);
    }

private:
    mutable std::mutex mutex_;
    mutable std::vector<double> sleeps_;
};

// Answers every open at once, with `error` when set.
class recording_workspace_t final : public platform::workspace_t {
public:
    void open_application(const std::string& bundle_path, completion_t completion) override {
        opened.push_back(bundle_path);
        completion(error);
    }
    std::optional<std::string> error;
    std::vector<std::string> opened;
};

// The real process list, cut down to processes that run from inside the sandbox, plus the lines of
// <root>/var/fake/ps.extra. Each call is logged like a fake tool's.
inline void confine_process_list(const fixtures::sandbox_t& sandbox) {
    const std::string script = "#!/bin/sh\nline='" + sandbox.path("/bin/ps") +
                               "'\nfor a in \"$@\"; do line=\"$line$(printf '\\t')$a\"; done\n"
                               "printf '%s\\n' \"$line\" >> '" +
                               sandbox.path("/var/log/tools.log") + "'\n/bin/ps \"$@\" | awk -v root='" +
                               sandbox.root() + "/' 'NR == 1 || index($0, root)'\n[ -f '" +
                               sandbox.path("/var/fake/ps.extra") + "' ] && cat '" +
                               sandbox.path("/var/fake/ps.extra") + "'\nexit 0\n";
    fs::remove(sandbox.path("/bin/ps"));
    std::ofstream(sandbox.path("/bin/ps")) << script;
    fs::permissions(sandbox.path("/bin/ps"), fs::perms::owner_all);
}

class InstallSandbox : public helper_tests::HelperSandbox {
protected:
    InstallSandbox() {
        confine_process_list(sandbox_);
        pki_.trust_in_system_root();
    }

    std::shared_ptr<core::helper_tool_t> make_installer() {
        bundle_ = core::embedded_main_bundle("/usr/libexec/quorvix-helper");
        core::helper_dependencies_t dependencies;
        dependencies.main_bundle = &*bundle_;
        dependencies.clock = &clock_;
        dependencies.authorization = &authorization_;
        dependencies.workspace = &workspace_;
        dependencies.own_executable_name = "com.trellwick.quorvix-qv-00000001.Helper";
        return std::make_shared<core::helper_tool_t>(std::move(dependencies));
    }

    // A bundle at <root><path> with the identifier and short version given; its executable, signed as the
    // application's, exits at once.
    std::string make_bundle(const std::string& path, const std::optional<std::string>& identifier,
                            const std::optional<std::string>& version) const {
        auto info = platform::property_list_t::dictionary();
        if (identifier) {
            info.set("CFBundleIdentifier", platform::property_list_t::string(*identifier));
        }
        if (version) {
            info.set("CFBundleShortVersionString", platform::property_list_t::string(*version));
        }
        const std::string bundle = sandbox_.path(path);
        fs::create_directories(bundle + "/Contents/MacOS");
        EXPECT_TRUE(info.write_xml(bundle + "/Contents/Info.plist"));
        std::ofstream(bundle + "/Contents/MacOS/Quorvix") << "#!/bin/sh\nexit 0\n";
        fs::permissions(bundle + "/Contents/MacOS/Quorvix", fs::perms::owner_all);
        sign(bundle);
        return bundle;
    }
    void sign(const std::string& bundle) const { fixtures::sign_application_bundle(pki_, bundle); }

    [[nodiscard]] static std::string app_identifier() { return fixtures::application_identifier(); }

    std::optional<bool> install(core::helper_tool_t& helper, const std::string& bundle,
                                bool remove_flavors = false,
                                const std::optional<std::string>& config = std::nullopt,
                                const std::string& qv_namespace = kNamespace) {
        return ask<bool>([&](auto reply) {
            helper.install_quorvix_with_auth_data(auth_form(), bundle, config, qv_namespace,
                                                  std::string("someone"), remove_flavors ? 1 : 0, reply);
        });
    }
    // The first program argument of a job file.
    [[nodiscard]] static std::optional<std::string> job_program(const std::string& path) {
        const auto job = platform::property_list_t::read_file(path);
        const auto arguments = job ? job->root().get("ProgramArguments") : std::nullopt;
        const auto first = arguments ? arguments->at(0) : std::nullopt;
        return first ? first->as_string() : std::nullopt;
    }
    [[nodiscard]] std::string service_job(const std::string& qv_namespace = kNamespace) const {
        return sandbox_.path("/Library/LaunchDaemons/com.trellwick." + qv_namespace + ".service.plist");
    }
    [[nodiscard]] std::string agent_job(const std::string& qv_namespace = kNamespace) const {
        return sandbox_.path("/Library/LaunchAgents/com.trellwick." + qv_namespace + ".Frontend.plist");
    }

    // The logged calls of one tool, by its absolute path, arguments only.
    [[nodiscard]] helper_tests::calls_t calls_of(const std::string& tool) const {
        helper_tests::calls_t found;
        for (const auto& call : sandbox_.tool_calls()) {
            if (!call.empty() && call[0] == sandbox_.path(tool)) {
                found.emplace_back(call.begin() + 1, call.end());
            }
        }
        return found;
    }
    // The tools in the order they ran, by path below the root.
    [[nodiscard]] std::vector<std::string> tool_order() const {
        std::vector<std::string> order;
        for (const auto& call : sandbox_.tool_calls()) {
            order.push_back(call.empty() ? "" : call[0].substr(sandbox_.root().size()));
        }
        return order;
    }

    [[nodiscard]] std::size_t records_naming(const std::string& level, const std::string& text) const {
        const auto found = records(level);
        return static_cast<std::size_t>(
            std::count_if(found.begin(), found.end(),
                          [&](const std::string& line) { return line.find(text) != std::string::npos; }));
    }

    [[nodiscard]] static std::vector<std::uint8_t> auth_form() { return std::vector<std::uint8_t>(32, 1); }

    fixtures::test_pki_t pki_;
    recording_clock_t clock_;
    fixtures::counting_authorization_t authorization_;
    recording_workspace_t workspace_;
};

}  // namespace install_tests
