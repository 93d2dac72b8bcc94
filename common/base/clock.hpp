#pragma once

#include <mutex>

namespace tarnel {

// Time as the system reads it. `uptime()` is CLOCK_MONOTONIC in seconds: every
// deadline, wait and poll is measured on it, and both programs read the same
// clock so that deadlines can cross the IPC boundary as plain numbers.
// `wallSeconds()` is seconds since 1970, only for what is stored or shown as a date.
class Clock {
public:
    virtual ~Clock() = default;
    [[nodiscard]] virtual double uptime() const = 0;
    [[nodiscard]] virtual double wallSeconds() const = 0;
    // Sleeps for the given number of seconds (nothing for zero or less).
    virtual void sleepFor(double seconds) const = 0;
};

class SystemClock final : public Clock {
public:
    [[nodiscard]] double uptime() const override;
    [[nodiscard]] double wallSeconds() const override;
    void sleepFor(double seconds) const override;

    // The process-wide system clock.
    static const SystemClock& shared();
};

// A clock in virtual time for tests: sleeping advances it instantly.
class FakeClock final : public Clock {
public:
    explicit FakeClock(double uptime = 1000.0, double wallSeconds = 1'800'000'000.0)
        : uptime_(uptime), wall_(wallSeconds) {}

    [[nodiscard]] double uptime() const override;
    [[nodiscard]] double wallSeconds() const override;
    void sleepFor(double seconds) const override;

    void advance(double seconds);
    void setUptime(double uptime);
    void setWallSeconds(double wallSeconds);

private:
    mutable std::mutex mutex_;
    mutable double uptime_;
    mutable double wall_;
};

}  // namespace tarnel
