// Starts a client the ways a user may try to keep a hand in it, for end-to-end tests of admission:
//   qv_hostile_starter seccomp PROGRAM ARGS...      under a filter that makes prctl(PR_SET_DUMPABLE) do
//   nothing qv_hostile_starter traced PROGRAM ARGS...       as this process's tracee qv_hostile_starter
//   connect-first N SOCKET PROGRAM ARGS...
//       opens N connections to SOCKET, then execs PROGRAM while a child keeps them and prints
//       "hello on K of N" once the helper has closed each or sent it a hello
// Exits with PROGRAM's status (128 + signal when it was killed), or 2 on a usage error.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

#if defined(__x86_64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
#error "no seccomp architecture for this machine"
#endif

int exec(char** argv) {
    execv(argv[0], argv);
    std::perror(argv[0]);
    return 127;
}

int seccomp_then_exec(char** argv) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_prctl, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PR_SET_DUMPABLE, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    // Without privileges a filter needs no_new_privs.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::perror("seccomp");
        return 2;
    }
    return exec(argv);
}

int decoded(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int traced_exec(char** argv) {
    const pid_t child = fork();
    if (child == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
            _exit(2);
        }
        _exit(exec(argv));
    }
    int status = 0;
    while (waitpid(child, &status, 0) == child) {
        if (!WIFSTOPPED(status)) {
            return decoded(status);
        }
        // The stop at exec is the tracer's own; any other signal goes on to the tracee.
        const int signal = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
        ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void*>(static_cast<long>(signal)));
    }
    return 2;
}

int connect_to(const char* path) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return -1;
    }
    return fd;
}

// Waits until each connection has been closed or has received a datagram (a hello), for at most 20 s.
int watch(const std::vector<int>& connections) {
    std::size_t hellos = 0;
    std::size_t settled = 0;
    std::vector<pollfd> waiting;
    for (const int fd : connections) {
        waiting.push_back({fd, POLLIN, 0});
    }
    while (settled < connections.size() && poll(waiting.data(), waiting.size(), 20000) > 0) {
        for (auto& entry : waiting) {
            if (entry.fd < 0 || entry.revents == 0) {
                continue;
            }
            char byte = 0;
            hellos += recv(entry.fd, &byte, 1, MSG_DONTWAIT) > 0 ? 1 : 0;
            entry.fd = -1;
            ++settled;
        }
    }
    std::printf("hello on %zu of %zu\n", hellos + (connections.size() - settled), connections.size());
    return std::fflush(stdout) == 0 ? 0 : 2;
}

int connect_first_then_exec(int count, const char* socket_path, char** argv) {
    std::vector<int> connections;
    for (int i = 0; i < count; ++i) {
        const int fd = connect_to(socket_path);
        if (fd < 0) {
            std::perror("connect");
            return 2;
        }
        connections.push_back(fd);
    }
    std::fflush(stdout);
    if (fork() == 0) {
        _exit(watch(connections));
    }
    return exec(argv);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    const std::string_view mode = argv[1];
    if (mode == "seccomp") {
        return seccomp_then_exec(argv + 2);
    }
    if (mode == "traced") {
        return traced_exec(argv + 2);
    }
    if (mode == "connect-first" && argc >= 5) {
        return connect_first_then_exec(std::atoi(argv[2]), argv[3], argv + 4);
    }
    return 2;
}
