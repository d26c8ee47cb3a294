#include "platform/debugger_protection.h"

#include <sys/prctl.h>

namespace platform {

bool deny_debugger_attachment() {
    return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

}  // namespace platform
