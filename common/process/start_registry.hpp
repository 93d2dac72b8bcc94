#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

#include "common/base/uuid.hpp"

namespace tarnel {

// Remembers, per attempt identifier, whether the attempt was cancelled and
// whether one of its phases (runtime preparation or tunnel start) is running,
// so that a cancellation reaches an attempt that is running or has not yet
// arrived. Times are seconds of system uptime, passed by the caller.
class PrivilegedTunnelStartRegistry {
public:
    struct Entry {
        bool cancelled = false;
        bool active = false;
        double expiresAt = 0.0;

        friend bool operator==(const Entry&, const Entry&) = default;
    };

    static constexpr double pendingCancellationLifetime = 900.0;
    static constexpr double completedPhaseLifetime = 900.0;
    static constexpr std::size_t maximumEntryCount = 64;

    // The helper's one registry.
    static PrivilegedTunnelStartRegistry& shared();

    // Starts a phase of an attempt; false when the attempt was cancelled, is
    // already running, or the registry is full of running attempts.
    [[nodiscard]] bool begin(const Uuid& attempt, double expiresAt, double uptime);
    // Records a cancellation. Accepts a UUID in any letter case; throws
    // invalidStartupRequest for other text and startupRequestCapacityExceeded
    // when a new entry cannot be made room for.
    void cancel(std::string_view attemptIdentifier, double uptime);
    void cancelAll(double uptime);
    [[nodiscard]] bool isCancelled(const Uuid& attempt, double uptime);
    void finish(const Uuid& attempt, double uptime);

    // The entry held for an attempt after pruning at `uptime` (inspection).
    [[nodiscard]] std::optional<Entry> entry(const Uuid& attempt, double uptime);

private:
    void prune(double uptime);
    [[nodiscard]] bool ensureCapacity();

    std::mutex lock_;
    std::map<Uuid, Entry> entries_;
};

}  // namespace tarnel
