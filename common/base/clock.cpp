#include "common/base/clock.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>

namespace tarnel {

namespace {
double readClock(clockid_t id) {
    timespec now{};
    ::clock_gettime(id, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}
}  // namespace

double SystemClock::uptime() const { return readClock(CLOCK_MONOTONIC); }

double SystemClock::wallSeconds() const { return readClock(CLOCK_REALTIME); }

void SystemClock::sleepFor(double seconds) const {
    if (!(seconds > 0.0)) {
        return;
    }
    // A longer span (an infinite one included) sleeps for a century, so that
    // the conversion to whole seconds below stays within range.
    constexpr double kLongestSleep = 100.0 * 365.0 * 24.0 * 3600.0;
    seconds = std::min(seconds, kLongestSleep);
    // Sleep until an absolute monotonic instant so that interruptions resume
    // without drifting and wall-clock steps have no effect.
    timespec target{};
    ::clock_gettime(CLOCK_MONOTONIC, &target);
    double whole = 0.0;
    const double fraction = std::modf(seconds, &whole);
    target.tv_sec += static_cast<time_t>(whole);
    target.tv_nsec += static_cast<long>(fraction * 1e9);
    if (target.tv_nsec >= 1'000'000'000L) {
        target.tv_sec += 1;
        target.tv_nsec -= 1'000'000'000L;
    }
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, nullptr) == EINTR) {
    }
}

const SystemClock& SystemClock::shared() {
    static const SystemClock clock;
    return clock;
}

double FakeClock::uptime() const {
    std::lock_guard lock(mutex_);
    return uptime_;
}

double FakeClock::wallSeconds() const {
    std::lock_guard lock(mutex_);
    return wall_;
}

void FakeClock::sleepFor(double seconds) const {
    if (!(seconds > 0.0)) {
        return;
    }
    std::lock_guard lock(mutex_);
    uptime_ += seconds;
    wall_ += seconds;
}

void FakeClock::advance(double seconds) { sleepFor(seconds); }

void FakeClock::setUptime(double uptime) {
    std::lock_guard lock(mutex_);
    uptime_ = uptime;
}

void FakeClock::setWallSeconds(double wallSeconds) {
    std::lock_guard lock(mutex_);
    wall_ = wallSeconds;
}

}  // namespace tarnel
