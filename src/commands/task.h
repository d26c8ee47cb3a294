#pragma once
// Stand-in for NSTask with its synchronous shell extensions: a tool started by absolute path with an
// argument vector (never through a shell), waited for, its standard output drained while it runs.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace commands {

// A tool that cannot be started at all (missing, not executable). Never reported as a status.
class launch_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class task_t {
public:
    task_t(std::string launch_path, std::vector<std::string> arguments);

    // The output as UTF-8 text; absent when the status is not 0 or the output is not UTF-8.
    [[nodiscard]] std::optional<std::string> syncStdOutExecute();
    // Polls every 0.1 s and sends SIGTERM on every turn after the deadline. "" when the status is not 0;
    // absent when the output is not UTF-8. A time-out of 0.1 s or less is a logic error ("lower won't run").
    [[nodiscard]] std::optional<std::string> syncStdOutExecuteWithTimeout(double timeout);

    // The termination status: the exit code, or the signal number that ended the tool.
    [[nodiscard]] static std::int32_t syncExec(const std::string& path,
                                               const std::vector<std::string>& arguments);
    // The same, with `input` written to the tool's standard input, so secrets stay off the command line.
    [[nodiscard]] static std::int32_t syncExecWithInput(const std::string& path,
                                                        const std::vector<std::string>& arguments,
                                                        std::string_view input);

    // Starts the tool and returns at once; its end is collected on a thread of its own, so no zombie stays.
    static void launch_detached(const std::string& path, const std::vector<std::string>& arguments);

    struct capture_t {
        std::int32_t status = 0;
        std::string output;  // raw bytes, whole
    };
    // Runs the tool and returns its status and whole standard output, undecoded.
    [[nodiscard]] capture_t run_capturing();

private:
    // A task launches at most once; a second launch is a logic error.
    void mark_launched();

    std::string launch_path_;
    std::vector<std::string> arguments_;
    bool launched_ = false;
};

}  // namespace commands
