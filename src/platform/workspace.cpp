#include "platform/workspace.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/console_user.h"
#include "platform/owned_fd.h"
#include "platform/spawn.h"

namespace platform {
namespace {

constexpr std::string_view kExecutableInBundle = "/Contents/MacOS/Quorvix";
constexpr char kSearchPath[] = "PATH=/usr/bin:/bin:/usr/sbin:/sbin";

// What a child could not do, sent back through the close-on-exec pipe; nothing arrives when exec worked.
enum class launch_stage_t : int { fork, switch_user, exec };
struct launch_failure_t {
    launch_stage_t stage;
    int error;
};

struct user_entry_t {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::string home;
    std::string shell;
};

// The account named, or the account of the uid when no name is given.
std::optional<user_entry_t> find_user(const std::optional<std::string>& name, uid_t uid) {
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = name ? getpwnam_r(name->c_str(), &entry, buffer.data(), buffer.size(), &found)
                               : getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1U << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr) {
            return std::nullopt;
        }
        return user_entry_t{entry.pw_uid, entry.pw_gid, entry.pw_name, entry.pw_dir, entry.pw_shell};
    }
}

std::vector<gid_t> supplementary_groups(const user_entry_t& user) {
    int count = 32;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (getgrouplist(user.name.c_str(), user.gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count) + 1);
        count = static_cast<int>(groups.size());
    }
    groups.resize(static_cast<std::size_t>(count));
    return groups;
}

// Everything the child needs, prepared before fork: after it, a threaded process may only make system
// calls, so neither the user database nor the allocator is touched there.
struct launch_plan_t {
    std::string executable;
    bool switch_user = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    std::vector<std::string> environment;
};

std::string describe(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// Absent with the error text when the application cannot be started as the right user.
std::optional<std::string> plan_launch(const std::string& bundle_path,
                                       const process_workspace_t::console_user_lookup_t& console_user,
                                       launch_plan_t& plan) {
    plan.executable = bundle_path + std::string(kExecutableInBundle);
    struct stat status {};
    if (::stat(plan.executable.c_str(), &status) != 0) {
        return "The application's executable " + plan.executable + " is missing: " + describe(errno);
    }
    if (!S_ISREG(status.st_mode) || ::access(plan.executable.c_str(), X_OK) != 0) {
        return "The application's executable " + plan.executable + " is not executable";
    }

    std::optional<user_entry_t> user;
    if (::geteuid() == 0) {
        if (const auto name = console_user ? console_user() : std::nullopt) {
            // A console user we cannot resolve must not get an application running as root instead.
            user = find_user(*name, 0);
            if (!user) {
                return "The console user " + *name + " is unknown";
            }
            plan.switch_user = true;
            plan.uid = user->uid;
            plan.gid = user->gid;
            plan.groups = supplementary_groups(*user);
        }
    }
    if (!user) {
        user = find_user(std::nullopt, ::geteuid());
    }
    plan.environment.emplace_back(kSearchPath);
    if (user) {
        plan.environment.push_back("HOME=" + user->home);
        plan.environment.push_back("USER=" + user->name);
        plan.environment.push_back("LOGNAME=" + user->name);
        plan.environment.push_back("SHELL=" + user->shell);
    }
    return std::nullopt;
}

[[noreturn]] void fail_in_child(int report_fd, launch_stage_t stage) {
    const launch_failure_t failure{stage, errno};
    (void)!::write(report_fd, &failure, sizeof failure);
    ::_exit(127);
}

// In the grandchild: only system calls from here to exec.
[[noreturn]] void become_application(const launch_plan_t& plan, char* const argv[], char* const envp[],
                                     int report_fd) {
    const int null_fd = ::open("/dev/null", O_RDWR | O_NOCTTY);
    if (null_fd >= 0) {
        ::dup2(null_fd, STDIN_FILENO);
        ::dup2(null_fd, STDOUT_FILENO);
        ::dup2(null_fd, STDERR_FILENO);
        if (null_fd > STDERR_FILENO) {
            ::close(null_fd);
        }
    }
    // None of the helper's descriptors (its service socket above all) may reach the application.
    (void)::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
    if (plan.switch_user) {
        if (::setgroups(plan.groups.size(), plan.groups.data()) != 0 || ::setgid(plan.gid) != 0 ||
            ::setuid(plan.uid) != 0) {
            fail_in_child(report_fd, launch_stage_t::switch_user);
        }
        if (plan.uid != 0 && ::setuid(0) == 0) {
            errno = EPERM;
            fail_in_child(report_fd, launch_stage_t::switch_user);
        }
    }
    (void)!::chdir("/");
    ::execve(plan.executable.c_str(), argv, envp);
    fail_in_child(report_fd, launch_stage_t::exec);
}

// Starts the application as a grandchild in a new session, so that it is nobody's child here and never
// becomes a zombie of the helper. Returns the error text when it did not start.
std::optional<std::string> launch(const launch_plan_t& plan) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return "Cannot start " + plan.executable + ": " + describe(errno);
    }
    owned_fd_t read_end(pipe_fds[0]);
    owned_fd_t write_end(pipe_fds[1]);

    std::vector<char*> argv{const_cast<char*>(plan.executable.c_str()), nullptr};
    std::vector<char*> envp;
    for (const auto& entry : plan.environment) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);

    const pid_t intermediate = ::fork();
    if (intermediate < 0) {
        return "Cannot start " + plan.executable + ": " + describe(errno);
    }
    if (intermediate == 0) {
        ::setsid();
        const pid_t application = ::fork();
        if (application < 0) {
            fail_in_child(write_end.get(), launch_stage_t::fork);
        }
        if (application == 0) {
            become_application(plan, argv.data(), envp.data(), write_end.get());
        }
        ::_exit(0);
    }
    write_end.reset();
    // The intermediate only forks and ends; what became of the application comes through the pipe.
    static_cast<void>(wait_for_child(intermediate));

    launch_failure_t failure{};
    std::size_t received = 0;
    while (received < sizeof failure) {
        const ssize_t n =
            ::read(read_end.get(), reinterpret_cast<char*>(&failure) + received, sizeof failure - received);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        received += static_cast<std::size_t>(n);
    }
    if (received == 0) {
        return std::nullopt;
    }
    if (received < sizeof failure) {
        return "Cannot start " + plan.executable + ": the starting process ended unexpectedly";
    }
    switch (failure.stage) {
        case launch_stage_t::switch_user:
            return "Cannot start " + plan.executable + " as the console user: " + describe(failure.error);
        case launch_stage_t::exec:
            return "Cannot run " + plan.executable + ": " + describe(failure.error);
        case launch_stage_t::fork:
            break;
    }
    return "Cannot start " + plan.executable + ": " + describe(failure.error);
}

}  // namespace

process_workspace_t::process_workspace_t(console_user_lookup_t console_user)
    : console_user_(std::move(console_user)) {}

process_workspace_t::process_workspace_t() : process_workspace_t(console_user_name) {}

void process_workspace_t::open_application(const std::string& bundle_path, completion_t completion) {
    auto work = [bundle_path, console_user = console_user_, completion]() {
        launch_plan_t plan;
        auto error = plan_launch(bundle_path, console_user, plan);
        if (!error) {
            error = launch(plan);
        }
        completion(std::move(error));
    };
    try {
        std::thread(std::move(work)).detach();
    } catch (const std::system_error& failure) {
        completion("Cannot start " + bundle_path + ": " + failure.what());
    }
}

}  // namespace platform
