#pragma once
// Stand-in for NSDate and run-loop slices: seconds since 2001-01-01 00:00:00 UTC, and sleeping.
// Injectable so that tests can drive the idle exit and other waits without waiting.

namespace platform {

// Seconds between the Unix epoch and the reference date 2001-01-01 00:00:00 UTC.
inline constexpr double kReferenceDateOffset = 978307200.0;

class wall_clock_t {
public:
    virtual ~wall_clock_t() = default;
    [[nodiscard]] virtual double now() const = 0;
    virtual void sleep_for(double seconds) const = 0;
};

// The real clock.
[[nodiscard]] const wall_clock_t& system_wall_clock();

}  // namespace platform
