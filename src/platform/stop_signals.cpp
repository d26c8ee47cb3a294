#include "platform/stop_signals.h"

#include <signal.h>

namespace platform {
namespace {

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

void block_stop_signals() {
    const sigset_t set = stop_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

std::optional<int> take_stop_signal() {
    const sigset_t set = stop_signal_set();
    const timespec no_wait{};
    const int signal_number = sigtimedwait(&set, nullptr, &no_wait);
    return signal_number > 0 ? std::optional<int>(signal_number) : std::nullopt;
}

}  // namespace platform
