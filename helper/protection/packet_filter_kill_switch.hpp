#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/log.hpp"
#include "common/contract/tunnel_configuration_validator.hpp"
#include "helper/protection/packet_filter_control.hpp"
#include "helper/protection/packet_filter_rules.hpp"
#include "helper/protection/system_dns_override.hpp"
#include "helper/protection/tailscale_underlay_endpoint.hpp"
#include "platform/boot_clock.hpp"
#include "platform/network_interfaces.hpp"

namespace tarnel {

// The packet-filter kill switch: while protection is wanted, only the tunnel
// server, the tunnel interface and a few local destinations (and, beside a
// running Tailscale, Tailscale's own traffic) may leave the machine.
//
// The wish to be protected lives in "kill-switch-state.json" in the helper's
// runtime directory together with a safety lease on the wall clock. The
// application renews the lease while its tunnel is up; a lease that lapses,
// or a record from another boot, is torn down at the next occasion (a status
// query, a renewal, a watchdog tick, the helper's next launch), so that a
// client that died never leaves the machine blocked.
//
// An instance keeps nothing in memory: the record is the only truth, and
// every instance over the same runtime directory (one per runtime, one for
// launch recovery, one per watchdog tick) agrees with the others through it
// and through one process-wide lock, the kill-switch lock. The public
// operations take that lock for their whole run; the building blocks expect
// the caller to hold it (acquireLock). The lock order is: the runtime's
// operation lock, then the kill-switch lock, then the DNS override's own
// mutex. A locking operation must never be called while holding the lock.
class PacketFilterKillSwitch {
public:
    static constexpr std::int64_t schemaVersion = 3;
    static constexpr double leaseSeconds = 120.0;
    static constexpr std::string_view stateFileName = "kill-switch-state.json";

    // The record of "kill-switch-state.json". Its fields, in this order, are
    // the keys of the file; "directAddresses" sits between endpointPort and
    // tailscaleUnderlayEndpoints and is always written as an empty array
    // (nothing is ever let out directly), so it has no field here.
    struct State {
        std::int64_t schema = schemaVersion;
        // False marks a record kept only for enable references whose release
        // has still to succeed.
        bool desiredActive = false;
        // The boot the record belongs to (BootClock::currentBoot).
        std::int64_t bootTimeSeconds = 0;
        // The lease's end, wall-clock seconds since 1970.
        double leaseExpiresAt = 0.0;
        std::vector<std::string> endpointAddresses;
        std::int64_t endpointPort = 0;
        // Present exactly in Tailscale mode.
        std::optional<std::vector<TailscaleUnderlayEndpoint>> tailscaleUnderlayEndpoints;
        std::optional<std::vector<std::int64_t>> tailscaleRegionIDs;
        std::optional<std::int64_t> tailscaleRelayRegionID;
        std::optional<std::string> tailscalePhysicalInterface;
        std::optional<std::string> tailscaleTunnelInterface;
        // This system's tunnel (utunN), once the start has promoted protection.
        std::optional<std::string> tunnelInterface;
        std::vector<std::string> physicalAddresses;
        // Held enable references: the current one first, then older ones
        // whose release failed.
        std::vector<std::uint64_t> enableTokens;

        [[nodiscard]] bool isTailscaleMode() const noexcept { return tailscaleUnderlayEndpoints.has_value(); }

        // One compact JSON object, keys in the order above, optional fields
        // without a value left out.
        [[nodiscard]] std::string encoded() const;
        // Reads a record: keys by name in any order, unknown keys ignored,
        // null or missing optional keys absent. Throws json::JsonError for a
        // text that is not a JSON object, a missing required key or a value
        // of the wrong type (a fraction or a value beyond 64 bits where an
        // integer is read, a number where a boolean is). The schema is not
        // judged here.
        [[nodiscard]] static State decode(std::string_view text);

        friend bool operator==(const State&, const State&) = default;
    };

    // What the tunnel's configuration asks to protect.
    struct Policy {
        std::string endpointHost;  // a name or an IP literal
        std::int64_t endpointPort = 0;
        // The physical interface the configuration pins; nothing when it
        // detects the interface automatically.
        std::optional<std::string> physicalInterface;

        [[nodiscard]] static Policy from(const PrivilegedTunnelConfigurationValidator::Result& route);
        friend bool operator==(const Policy&, const Policy&) = default;
    };

    // The Tailscale inputs of an activation; all absent without Tailscale.
    struct Tailscale {
        std::optional<std::vector<std::int64_t>> regionIDs;  // from the start request
        std::int64_t relayRegionID = 0;                      // meaningful only with regionIDs
        std::optional<std::vector<TailscaleUnderlayEndpoint>> underlayEndpoints;  // from Tailscale's validation
        std::optional<std::string> tunnelInterface;  // Tailscale's own utun, from the validation
    };

    // What the kill switch reads and runs, injected so that tests run it on a
    // fake wall clock and boot, fake interfaces, a fake resolver and the
    // packet-filter stand-in.
    struct Services {
        const Clock* wallClock = &SystemClock::shared();
        const BootClock* bootClock = &SystemBootClock::shared();
        const NetworkInterfaceLookup* interfaces = &SystemNetworkInterfaceLookup::shared();
        EndpointResolver resolver = resolveWithSystem;
        PacketFilterControl packetFilter = PacketFilterControl();
    };

    // With the system's clocks, interfaces, resolver and packet filter.
    PacketFilterKillSwitch(std::filesystem::path runtimeDirectory, std::shared_ptr<SystemDNSOverride> dnsOverride);
    PacketFilterKillSwitch(std::filesystem::path runtimeDirectory, std::shared_ptr<SystemDNSOverride> dnsOverride,
                           Services services);

    [[nodiscard]] const std::filesystem::path& runtimeDirectory() const noexcept { return runtimeDirectory_; }
    [[nodiscard]] const std::shared_ptr<SystemDNSOverride>& dnsOverride() const noexcept { return dnsOverride_; }
    [[nodiscard]] std::filesystem::path statePath() const { return runtimeDirectory_ / stateFileName; }

    // The process-wide kill-switch lock, held until the returned lock ends.
    [[nodiscard]] static std::unique_lock<std::mutex> acquireLock();

    // The kill switch's log: subsystem "app.tarnel.direct.helper", category
    // "kill-switch"; every line at error level.
    [[nodiscard]] static const Log& log();

    // ---- Operations that take the kill-switch lock themselves ----

    // Tears down stale protection (expireStaleState), then answers whether
    // protection is wanted; false without a record.
    [[nodiscard]] bool isProtectionActive() const;

    // Requires a live lease (requireLiveLease) and extends it to now + 120 s.
    // Nothing else changes and no packet-filter command runs.
    void renewLease() const;

    // Turns protection on for this route, replacing a protection in force:
    // records the wish, loads the rules, takes an enable reference, kills the
    // states that bypass the rules, and releases the references of the record
    // it replaced. A failure after the record was written puts back the
    // previous protection, or clears protection when there was none, and
    // throws the failure of the step that triggered it. Throws
    // endpointResolutionFailed, tailscaleCompatibilityUnavailable (incomplete
    // Tailscale inputs, changing nothing), runtimeStorageUnavailable,
    // packetFilterCommandFailed, packetFilterEnableFailed, the rule text's
    // invalidConfiguration, and the errors of the DNS restore and of writing
    // the record.
    void activate(const Policy& policy, const Tailscale& tailscale) const;
    // Without Tailscale.
    void activate(const Policy& policy) const;

    // Lets the tunnel's interface out and grants a fresh lease. Throws
    // killSwitchLeaseExpired without a wanted record (protection was taken
    // down since it was switched on) and, after clearing, for a lapsed
    // lease; corruptKillSwitchState for a record of another schema. A failed
    // rule load leaves the record as it was.
    void promote(const std::string& tunnelInterface) const;

    // At the helper's launch (and as the watchdog's fallback): re-applies a
    // live protection with a fresh enable reference and releases the old
    // ones, dropping the rule of a tunnel interface that is gone; clears a
    // stale or unwanted record; without a record, restores DNS and flushes the
    // anchor. The lease is not extended. Throws the load error of an invalid
    // record and tailscaleCompatibilityUnavailable when Tailscale's recorded
    // interface is gone, changing nothing in both cases.
    void restoreAfterLaunch() const;

    // Turns protection off, releasing every recorded reference whatever boot
    // the record is from. A record that cannot be read is repaired: DNS
    // restored, the anchor flushed, the file deleted, and this succeeds.
    void deactivate() const;

    // The last resort: restores DNS, flushes the anchor and deletes the record
    // without reading it (its references are not released). The anchor is
    // flushed even when the DNS restore fails; that failure is thrown
    // afterwards and the record stays, so that a later expiry check tries the
    // restore again.
    void clearState() const;

    // True when protection is wanted in Tailscale mode and Tailscale's tunnel
    // interface no longer exists. Lease and boot are not looked at. Throws the
    // load errors.
    [[nodiscard]] bool tailscaleInterfaceLost() const;

    // ---- Building blocks: the caller holds the kill-switch lock ----

    // The record; nothing when there is no state file. Throws
    // unsafeRuntimeDirectory when the runtime directory is not private to
    // root, and corruptKillSwitchState for a record that is not a regular file
    // of root's without group or other permissions or does not decode.
    [[nodiscard]] std::optional<State> loadState() const;

    // Writes the record atomically with mode 0600, creating the runtime
    // directory (0700) when it is missing. Throws unsafeRuntimeDirectory and
    // the file errors.
    void saveState(const State& state) const;

    // Throws unsafeRuntimeDirectory unless the runtime directory is a real
    // directory of root's without group or other permissions; a missing one is
    // created when `creating` is set (its failure thrown as it is).
    void ensureRuntimeDirectory(bool creating) const;

    // The current boot; throws runtimeStorageUnavailable when it cannot be read.
    [[nodiscard]] std::int64_t currentBootTimeSeconds() const;

    // Tears down a record that is not wanted (releasing its references), or
    // whose lease has lapsed or whose boot has passed (releasing them only for
    // the same boot). Throws corruptKillSwitchState for a wanted record of
    // another schema, and the teardown's errors.
    void expireStaleState() const;

    // The record when protection is wanted and its lease is live in this
    // boot. Throws corruptKillSwitchState without a wanted schema-3 record;
    // clears a stale one and throws killSwitchLeaseExpired (or the error of
    // the clearing).
    [[nodiscard]] State requireLiveLease() const;

    // The common teardown, in this order, stopping at the first failure: DNS
    // restored, the record saved as not wanted, the anchor flushed, the
    // references released when `releasingTokens`; then the file is deleted,
    // or keeps the references whose release failed for a later retry.
    void clearProtection(State state, bool releasingTokens) const;

    // Loads the rules that the record describes (dry run, then load).
    void loadAnchorRules(const State& state) const;

    // The rule inputs of a record.
    [[nodiscard]] static PacketFilterRules::AnchorInputs anchorInputs(const State& state);

private:
    void rollBackActivation(const std::optional<State>& previous, std::optional<std::uint64_t> newToken) const noexcept;
    void restoreDNSAndFlushAnchor() const;
    // Deletes whatever stands at the record's place; failures are ignored,
    // and nothing is deleted through a runtime directory that is not private
    // to root.
    void deleteStateFile() const noexcept;
    [[nodiscard]] bool leaseIsLive(const State& state) const;

    std::filesystem::path runtimeDirectory_;
    std::shared_ptr<SystemDNSOverride> dnsOverride_;
    Services services_;
};

}  // namespace tarnel
