#include "soak/soak_checks.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <system_error>

#include "fixtures/helper_process.h"
#include "platform/property_list.h"

namespace soak {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxTraceLine = 1151;

std::vector<std::string> entries_of(const std::string& directory) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory, error)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

const namespace_plan_t* plan_named(const std::vector<namespace_plan_t>& plans, const std::string& name) {
    for (const auto& plan : plans) {
        if (plan.name == name) {
            return &plan;
        }
    }
    return nullptr;
}

const namespace_plan_t* plan_with_bundle(const std::vector<namespace_plan_t>& plans,
                                         const std::string& bundle) {
    for (const auto& plan : plans) {
        if (plan.bundle_name == bundle) {
            return &plan;
        }
    }
    return nullptr;
}

// A job file of an installed namespace: its label, its program and its role flag.
void check_job_file(const std::string& path, const std::string& label, const std::string& executable,
                    const std::string& flag, findings_t& findings) {
    const auto job = platform::property_list_t::read_file(path);
    if (!job) {
        findings.push_back("job file does not read as a property list: " + path);
        return;
    }
    const auto arguments = job->root().get("ProgramArguments");
    const auto program = arguments ? arguments->at(0) : std::nullopt;
    const auto role = arguments ? arguments->at(1) : std::nullopt;
    if (job->root().string_for_key("Label") != label) {
        findings.push_back("job file " + path + " carries the label " +
                           job->root().string_for_key("Label").value_or("(none)"));
    }
    if (!program || program->as_string() != executable || !role || role->as_string() != flag) {
        findings.push_back("job file " + path + " starts " +
                           (program ? program->as_string().value_or("(none)") : "(none)") + " instead of " +
                           executable + " " + flag);
    }
}

// Job files under one directory: "com.trellwick.<namespace>.<suffix>.plist" of installed namespaces only.
void check_job_directory(const fixtures::sandbox_t& sandbox, const std::vector<namespace_plan_t>& plans,
                         const std::string& directory, const std::string& suffix, const std::string& flag,
                         findings_t& findings) {
    const std::regex name_form("com\\.trellwick\\.(\\w+)\\." + suffix + "\\.plist");
    for (const auto& name : entries_of(sandbox.path(directory))) {
        std::smatch match;
        const namespace_plan_t* plan =
            std::regex_match(name, match, name_form) ? plan_named(plans, match[1].str()) : nullptr;
        if (plan == nullptr || !plan->allows('i')) {
            findings.push_back("job file of no installed namespace: " + directory + "/" + name);
            continue;
        }
        check_job_file(sandbox.path(directory + "/" + name), "com.trellwick." + plan->name + "." + suffix,
                       sandbox.path("/Applications/" + plan->bundle_name + "/Contents/MacOS/Quorvix"), flag,
                       findings);
    }
}

// The request kinds that may run a logged tool call: launchctl by its verb, chmod and chown by what they
// change, xattr for the installed bundle. Empty for calls that no request of a namespace makes.
std::string kinds_running(const std::vector<std::string>& call, const std::string& line) {
    const std::string tool = fs::path(call[0]).filename().string();
    const std::string verb = call.size() > 1 ? call[1] : "";
    if (tool == "launchctl") {
        if (verb == "bootstrap" || verb == "start") {
            return "s";
        }
        if (verb == "stop") {
            return "xi";
        }
        if (verb == "bootout") {
            return "iu";
        }
        return "";
    }
    if (tool == "chmod" || tool == "chown") {
        return line.find("/etc/") != std::string::npos ? "fi" : "i";
    }
    return tool == "xattr" ? "i" : "";
}

}  // namespace

std::vector<namespace_plan_t> make_plans(int count) {
    std::vector<namespace_plan_t> plans;
    for (int k = 0; k < count; ++k) {
        namespace_plan_t plan;
        const std::string digit = std::to_string(k);
        plan.name = "soak_" + digit;
        // Most namespaces see every request; the last ones are never installed, one is only asked about.
        plan.kinds = k < count - 3 ? "qsxafiu" : k == count - 3 ? "qsxaf" : k == count - 2 ? "qf" : "q";
        plan.bundle_name = "Soak" + digit + ".app";
        // One volume matches "Quorvix*", so every install ejects it, whatever its namespace.
        plan.source = (k == 0 ? "/Volumes/QuorvixSoak" : "/Volumes/Soak") + digit + "/" + plan.bundle_name;
        plan.sysconfig = "/Users/soak" + digit + "/config";
        plan.version = "1." + digit;
        plans.push_back(std::move(plan));
    }
    return plans;
}

void write_sources(const fixtures::sandbox_t& sandbox, const std::vector<namespace_plan_t>& plans) {
    for (const auto& plan : plans) {
        sandbox.write_file(plan.source + "/Contents/Info.plist",
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                           "<key>CFBundleIdentifier</key><string>" +
                               fixtures::application_identifier() +
                               "</string><key>CFBundleShortVersionString</key><string>" + plan.version +
                               "</string></dict></plist>\n");
        sandbox.write_file(plan.source + "/Contents/MacOS/Quorvix", "#!/bin/sh\nexit 0\n");
        fs::permissions(sandbox.path(plan.source + "/Contents/MacOS/Quorvix"),
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
        // Each configuration names its namespace, so a copy into another namespace's directory shows.
        for (const char* file : {"/system.conf", "/service.conf", "/connection_trace.txt"}) {
            sandbox.write_file(plan.sysconfig + file, "namespace=" + plan.name + "\n");
        }
    }
}

void confine_process_list(const fixtures::sandbox_t& sandbox) {
    const std::string target = sandbox.path("/bin/ps");
    fs::remove(target);
    std::ofstream(target) << "#!/bin/sh\n/bin/ps \"$@\" | awk -v root='" << sandbox.root()
                          << "/' 'NR == 1 || index($0, root)'\n";
    fs::permissions(target, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
}

findings_t trace_findings(const std::string& trace, pid_t helper_pid) {
    findings_t findings;
    if (trace.empty() || trace.back() != '\n') {
        findings.push_back("the trace file does not end in a line feed");
    }
    if (trace.find('\0') != std::string::npos) {
        findings.push_back("the trace file holds a NUL byte");
    }
    static const std::regex record(
        "^ {0,6}(explode|auth|crash|error|warning|info|debug|intern|verbose|invalid) "
        "\\d{4}-(0[1-9]|1[0-2])-[0-3]\\d [0-2]\\d:[0-5]\\d:[0-6]\\d\\.\\d{3} +helper (.*) - .*$");
    const std::regex pid_column("(^| )" + std::to_string(helper_pid) + " +\\d+ ");
    const std::vector<std::string> lines = fixtures::lines_of(trace);
    // The start record opens a file that was never cut.
    const bool cut = trace.find(" helper 2.26 starting") == std::string::npos;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch match;
        const bool whole = lines[i].size() < kMaxTraceLine && std::regex_match(lines[i], match, record) &&
                           std::regex_search(match[3].str(), pid_column);
        if (!whole && !(cut && i == 0)) {
            findings.push_back("trace line " + std::to_string(i + 1) + " is not a whole record: " + lines[i]);
        }
    }
    return findings;
}

findings_t namespace_file_findings(const fixtures::sandbox_t& sandbox,
                                   const std::vector<namespace_plan_t>& plans) {
    findings_t findings;
    check_job_directory(sandbox, plans, "/Library/LaunchDaemons", "service", "--service", findings);
    check_job_directory(sandbox, plans, "/Library/LaunchAgents", "Frontend", "--control", findings);

    for (const auto& name : entries_of(sandbox.path("/etc"))) {
        const namespace_plan_t* plan = plan_named(plans, name);
        if (name == "codesign") {
            continue;
        }
        if (plan == nullptr || !plan->allows('i')) {
            findings.push_back("configuration directory of no installed namespace: /etc/" + name);
            continue;
        }
        for (const char* file : {"system.conf", "service.conf", "connection_trace.txt"}) {
            const std::string path = sandbox.path("/etc/" + name + "/" + file);
            if (fs::exists(path) && fixtures::read_text_file(path) != "namespace=" + name + "\n") {
                findings.push_back("/etc/" + name + "/" + file + " holds " + fixtures::read_text_file(path));
            }
        }
    }
    for (const auto& name : entries_of(sandbox.path("/var/log"))) {
        const std::regex trace_form("(\\w+)\\.trace");
        std::smatch match;
        if (name == "quorvix.trace" || name == "tools.log") {
            continue;
        }
        const namespace_plan_t* plan =
            std::regex_match(name, match, trace_form) ? plan_named(plans, match[1].str()) : nullptr;
        if (plan == nullptr || !plan->allows('i')) {
            findings.push_back("log file of no installed namespace: /var/log/" + name);
        }
    }
    for (const auto& name : entries_of(sandbox.path("/Applications"))) {
        const namespace_plan_t* plan = plan_with_bundle(plans, name);
        if (plan == nullptr || !plan->allows('i')) {
            findings.push_back("bundle of no installed namespace: /Applications/" + name);
            continue;
        }
        const auto info = platform::property_list_t::read_file(
            sandbox.path("/Applications/" + name + "/Contents/Info.plist"));
        const auto version = info ? info->root().string_for_key("CFBundleShortVersionString") : std::nullopt;
        // A bundle being copied when the helper stopped has no information list yet; any other must be ours.
        if (info && version != plan->version) {
            findings.push_back("/Applications/" + name + " is version " + version.value_or("(none)") +
                               " instead of " + plan->version);
        }
    }
    for (const char* directory : {"/Library/PrivilegedHelperTools", "/usr/local/bin"}) {
        for (const auto& name : entries_of(sandbox.path(directory))) {
            findings.push_back(std::string("unexpected file: ") + directory + "/" + name);
        }
    }
    return findings;
}

findings_t tool_log_findings(const fixtures::sandbox_t& sandbox, const std::vector<namespace_plan_t>& plans) {
    findings_t findings;
    const std::regex mention("soak_\\w*|Soak\\d+\\.app");
    const auto calls = sandbox.tool_calls();
    const auto lines = fixtures::lines_of(sandbox.read_file("/var/log/tools.log"));
    for (std::size_t i = 0; i < calls.size() && i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const namespace_plan_t* owner = nullptr;
        bool consistent = true;
        for (auto it = std::sregex_iterator(line.begin(), line.end(), mention); it != std::sregex_iterator();
             ++it) {
            const std::string found = it->str();
            const namespace_plan_t* plan =
                found.starts_with("soak_") ? plan_named(plans, found) : plan_with_bundle(plans, found);
            consistent = consistent && plan != nullptr && (owner == nullptr || owner == plan);
            owner = plan;
        }
        if (!consistent) {
            findings.push_back("tool call names another or no planned namespace: " + line);
            continue;
        }
        if (owner == nullptr) {
            continue;
        }
        const std::string kinds = kinds_running(calls[i], line);
        bool requested = false;
        for (const char kind : kinds) {
            requested = requested || owner->allows(kind);
        }
        if (!requested) {
            findings.push_back("tool call for " + owner->name +
                               ", which sent no request that runs it: " + line);
        }
    }
    return findings;
}

std::optional<resource_counts_t> resource_counts(pid_t pid) {
    const auto count = [](const std::string& directory) -> std::optional<std::size_t> {
        std::error_code error;
        std::size_t n = 0;
        for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
            ++n;
        }
        return error ? std::nullopt : std::optional<std::size_t>(n);
    };
    const std::string proc = "/proc/" + std::to_string(pid);
    const auto descriptors = count(proc + "/fd");
    const auto threads = count(proc + "/task");
    if (!descriptors || !threads) {
        return std::nullopt;
    }
    return resource_counts_t{*descriptors, *threads};
}

}  // namespace soak
