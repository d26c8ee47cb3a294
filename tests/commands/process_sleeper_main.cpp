// Stands in for the application executable in process tests: it waits to be signalled.
// QV_SLEEPER_LOG: a file to which "<last argument or nothing>\n" is appended on each SIGTERM.
// QV_SLEEPER_IGNORE_TERM=1: survive SIGTERM. "ready\n" on standard output once set up.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int log_fd = -1;
bool ignore_term = false;
std::string term_line;

void on_term(int) {
    if (log_fd >= 0) {
        [[maybe_unused]] const ssize_t written = write(log_fd, term_line.data(), term_line.size());
    }
    if (!ignore_term) {
        signal(SIGTERM, SIG_DFL);
        raise(SIGTERM);
    }
}

}  // namespace

int main(int argc, char** argv) {
    term_line = std::string(argc > 1 ? argv[argc - 1] : "") + "\n";
    if (const char* log = std::getenv("QV_SLEEPER_LOG"); log != nullptr) {
        log_fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
    const char* ignore = std::getenv("QV_SLEEPER_IGNORE_TERM");
    ignore_term = ignore != nullptr && std::strcmp(ignore, "1") == 0;

    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = on_term;
    sigaction(SIGTERM, &action, nullptr);

    [[maybe_unused]] const ssize_t written = write(STDOUT_FILENO, "ready\n", 6);
    close(STDOUT_FILENO);
    for (;;) {
        pause();
    }
}
