#include "common/process/start_registry.hpp"

#include <algorithm>

#include "common/contract/helper_contract.hpp"

namespace tarnel {

PrivilegedTunnelStartRegistry& PrivilegedTunnelStartRegistry::shared() {
    static PrivilegedTunnelStartRegistry registry;
    return registry;
}

void PrivilegedTunnelStartRegistry::prune(double uptime) {
    std::erase_if(entries_, [uptime](const auto& item) { return item.second.expiresAt <= uptime; });
}

bool PrivilegedTunnelStartRegistry::ensureCapacity() {
    if (entries_.size() < maximumEntryCount) {
        return true;
    }
    auto oldest = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (!it->second.active && (oldest == entries_.end() || it->second.expiresAt < oldest->second.expiresAt)) {
            oldest = it;
        }
    }
    if (oldest == entries_.end()) {
        return false;
    }
    entries_.erase(oldest);
    return true;
}

bool PrivilegedTunnelStartRegistry::begin(const Uuid& attempt, double expiresAt, double uptime) {
    std::lock_guard guard(lock_);
    prune(uptime);
    if (const auto held = entries_.find(attempt); held != entries_.end()) {
        Entry& entry = held->second;
        if (entry.cancelled || entry.active) {
            return false;
        }
        entry = Entry{false, true, std::max(expiresAt, entry.expiresAt)};
        return true;
    }
    if (!ensureCapacity()) {
        return false;
    }
    entries_.emplace(attempt, Entry{false, true, expiresAt});
    return true;
}

void PrivilegedTunnelStartRegistry::cancel(std::string_view attemptIdentifier, double uptime) {
    const auto attempt = Uuid::parse(attemptIdentifier);
    if (!attempt) {
        throw PrivilegedHelperContractError(PrivilegedHelperContractError::Case::invalidStartupRequest);
    }
    std::lock_guard guard(lock_);
    prune(uptime);
    if (const auto held = entries_.find(*attempt); held != entries_.end()) {
        held->second.cancelled = true;
        return;
    }
    if (!ensureCapacity()) {
        throw PrivilegedHelperContractError(PrivilegedHelperContractError::Case::startupRequestCapacityExceeded);
    }
    entries_.emplace(*attempt, Entry{true, false, uptime + pendingCancellationLifetime});
}

void PrivilegedTunnelStartRegistry::cancelAll(double uptime) {
    std::lock_guard guard(lock_);
    prune(uptime);
    for (auto& item : entries_) {
        item.second.cancelled = true;
    }
}

bool PrivilegedTunnelStartRegistry::isCancelled(const Uuid& attempt, double uptime) {
    std::lock_guard guard(lock_);
    prune(uptime);
    const auto held = entries_.find(attempt);
    return held != entries_.end() && held->second.cancelled;
}

void PrivilegedTunnelStartRegistry::finish(const Uuid& attempt, double uptime) {
    std::lock_guard guard(lock_);
    prune(uptime);
    if (const auto held = entries_.find(attempt); held != entries_.end()) {
        Entry& entry = held->second;
        entry.active = false;
        entry.expiresAt = std::max(uptime + completedPhaseLifetime, entry.expiresAt);
    }
}

std::optional<PrivilegedTunnelStartRegistry::Entry> PrivilegedTunnelStartRegistry::entry(const Uuid& attempt,
                                                                                       double uptime) {
    std::lock_guard guard(lock_);
    prune(uptime);
    const auto held = entries_.find(attempt);
    if (held == entries_.end()) return std::nullopt;
    return held->second;
}

}  // namespace tarnel
