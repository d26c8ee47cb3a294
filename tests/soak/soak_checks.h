#pragma once
// What the reliability suite plans for each namespace, and its checks of what the helper left behind:
// the trace file, the tool log, job files and other per-namespace files, and the helper's own counts.

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "fixtures/sandbox.h"

namespace soak {

// One namespace of the run. `kinds` are the request letters its clients may send (see soak_client.cpp):
// a namespace that is never installed must end with no file of its own.
struct namespace_plan_t {
    std::string name;         // soak_3
    std::string kinds;        // qsxafiu
    std::string source;       // /Volumes/Soak3/Soak3.app, under the root
    std::string sysconfig;    // /Users/soak3/config, under the root
    std::string bundle_name;  // Soak3.app
    std::string version;      // 1.3

    [[nodiscard]] bool allows(char kind) const { return kinds.find(kind) != std::string::npos; }
};

[[nodiscard]] std::vector<namespace_plan_t> make_plans(int count);

// Writes each namespace's source bundle and configuration directory into the sandbox.
void write_sources(const fixtures::sandbox_t& sandbox, const std::vector<namespace_plan_t>& plans);

// The process list cut down to processes that run from inside the sandbox: installs end the application's
// processes, and those of tests running beside this one are not ours to end.
void confine_process_list(const fixtures::sandbox_t& sandbox);

// Each finding is one line of text that says what is wrong and where.
using findings_t = std::vector<std::string>;

// Lines that are not whole trace records. A file cut at its size limit may begin inside a record: its first
// line is then passed over.
[[nodiscard]] findings_t trace_findings(const std::string& trace, pid_t helper_pid);
// Job files, configuration directories, trace files and bundles that name another namespace than the one
// they belong to, or that exist for a namespace that was never installed.
[[nodiscard]] findings_t namespace_file_findings(const fixtures::sandbox_t& sandbox,
                                                 const std::vector<namespace_plan_t>& plans);
// Tool calls whose namespace-formed path or label belongs to no namespace, or to one that never sent a
// request that runs that tool.
[[nodiscard]] findings_t tool_log_findings(const fixtures::sandbox_t& sandbox,
                                           const std::vector<namespace_plan_t>& plans);

struct resource_counts_t {
    std::size_t descriptors = 0;
    std::size_t threads = 0;
    bool operator==(const resource_counts_t&) const = default;
};
// Open descriptors and threads of a process, absent once it has gone.
[[nodiscard]] std::optional<resource_counts_t> resource_counts(pid_t pid);

}  // namespace soak
