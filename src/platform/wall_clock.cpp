#include "platform/wall_clock.h"

#include <time.h>

#include <cerrno>
#include <cmath>

namespace platform {
namespace {

// A day is longer than any wait of the helper; longer requests are cut so that the conversion to
// timespec cannot overflow.
constexpr double kLongestSleep = 86400.0;

class system_wall_clock_t final : public wall_clock_t {
public:
    [[nodiscard]] double now() const override {
        timespec current{};
        clock_gettime(CLOCK_REALTIME, &current);
        return static_cast<double>(current.tv_sec) - kReferenceDateOffset +
               static_cast<double>(current.tv_nsec) / 1e9;
    }

    void sleep_for(double seconds) const override {
        if (!(seconds > 0)) {
            return;
        }
        seconds = std::fmin(seconds, kLongestSleep);
        double whole = 0;
        const double fraction = std::modf(seconds, &whole);
        timespec remaining{static_cast<time_t>(whole), static_cast<long>(fraction * 1e9)};
        while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
        }
    }
};

}  // namespace

const wall_clock_t& system_wall_clock() {
    static const system_wall_clock_t clock;
    return clock;
}

}  // namespace platform
