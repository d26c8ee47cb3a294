#include "platform/thread_name.h"

#include <pthread.h>
#include <unistd.h>

namespace platform {

void current_thread_name(char* out, std::size_t size) noexcept {
    if (size == 0) {
        return;
    }
    if (gettid() == getpid() || pthread_getname_np(pthread_self(), out, size) != 0) {
        out[0] = '\0';
    }
}

}  // namespace platform
