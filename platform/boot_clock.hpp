#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>

namespace tarnel {

// A number that names the running boot of the machine: the same all through
// one boot, whatever happens to the wall clock (a step, a slew, a time zone
// change), and another one after the next boot. Records that must not outlive
// a reboot (the kill switch's) store it and compare it for equality only.
class BootClock {
public:
    virtual ~BootClock() = default;
    // Nothing when the system cannot tell.
    [[nodiscard]] virtual std::optional<std::int64_t> currentBoot() const = 0;
};

// The boot as the kernel names it: /proc/sys/kernel/random/boot_id, a random
// UUID the kernel draws once per boot, folded to a non-negative 64-bit number.
// The wall clock plays no part, so stepping it never makes the running boot
// look like another one. Read once per process; a failed read is tried again
// at the next call.
class SystemBootClock final : public BootClock {
public:
    [[nodiscard]] std::optional<std::int64_t> currentBoot() const override;

    // The process-wide boot clock.
    static const SystemBootClock& shared();

private:
    mutable std::mutex mutex_;
    mutable std::optional<std::int64_t> boot_;
};

// A boot clock for tests, set by hand; thread-safe.
class FakeBootClock final : public BootClock {
public:
    explicit FakeBootClock(std::optional<std::int64_t> boot = 1'699'990'000) : boot_(boot) {}
    [[nodiscard]] std::optional<std::int64_t> currentBoot() const override;
    void setBoot(std::optional<std::int64_t> boot);

private:
    mutable std::mutex mutex_;
    std::optional<std::int64_t> boot_;
};

namespace BootIdentity {

// Where the kernel publishes the boot's UUID.
inline constexpr std::string_view bootIDPath = "/proc/sys/kernel/random/boot_id";

// The boot number of the text of bootIDPath: a UUID in its 8-4-4-4-12 form,
// optionally followed by one line feed. Its two 64-bit halves (big-endian)
// are combined with exclusive or and the sign bit is cleared. Nothing for any
// other text.
[[nodiscard]] std::optional<std::int64_t> fromBootID(std::string_view text);

}  // namespace BootIdentity

}  // namespace tarnel
