#include "platform/client_executable.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/service_accounts.h"

namespace platform {

bool give_client_runtime(int executable) {
    // The owner first: changing it clears set-id bits.
    return ::fchown(executable, 0, service_accounts().client_group) == 0 && ::fchmod(executable, 02755) == 0;
}

}  // namespace platform
