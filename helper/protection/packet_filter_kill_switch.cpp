#include "helper/protection/packet_filter_kill_switch.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <iterator>
#include <system_error>
#include <utility>

#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/process/runtime_error.hpp"

namespace tarnel {

namespace {

using Case = PrivilegedRuntimeError::Case;

// A record is a few hundred bytes; the largest, with a full list of Tailscale
// endpoints, stays far below this.
constexpr std::size_t kMaximumRecordSize = 1024 * 1024;

[[noreturn]] void fail(Case errorCase) { throw PrivilegedRuntimeError(errorCase); }

// The references of `tokens` other than `current`. A recorded reference that
// equals the one just taken (a number from an earlier boot, say) names the
// reference now held: releasing it would drop the protection just put in force.
std::vector<std::uint64_t> supersededBy(std::uint64_t current, const std::vector<std::uint64_t>& tokens) {
    std::vector<std::uint64_t> superseded;
    std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(superseded),
                 [current](std::uint64_t token) { return token != current; });
    return superseded;
}

std::vector<std::uint64_t> followedBy(std::uint64_t first, const std::vector<std::uint64_t>& rest) {
    std::vector<std::uint64_t> tokens{first};
    tokens.insert(tokens.end(), rest.begin(), rest.end());
    return tokens;
}

}  // namespace

// ---- The record ----

std::string PacketFilterKillSwitch::State::encoded() const {
    json::OrderedValue record = json::OrderedValue::object();
    record["schema"] = schema;
    record["desiredActive"] = desiredActive;
    record["bootTimeSeconds"] = bootTimeSeconds;
    record["leaseExpiresAt"] = leaseExpiresAt;
    record["endpointAddresses"] = endpointAddresses;
    record["endpointPort"] = endpointPort;
    record["directAddresses"] = json::OrderedValue::array();
    if (tailscaleUnderlayEndpoints) {
        json::OrderedValue endpoints = json::OrderedValue::array();
        for (const auto& endpoint : *tailscaleUnderlayEndpoints) endpoints.push_back(endpoint.toJSON());
        record["tailscaleUnderlayEndpoints"] = std::move(endpoints);
    }
    if (tailscaleRegionIDs) record["tailscaleRegionIDs"] = *tailscaleRegionIDs;
    if (tailscaleRelayRegionID) record["tailscaleRelayRegionID"] = *tailscaleRelayRegionID;
    if (tailscalePhysicalInterface) record["tailscalePhysicalInterface"] = *tailscalePhysicalInterface;
    if (tailscaleTunnelInterface) record["tailscaleTunnelInterface"] = *tailscaleTunnelInterface;
    if (tunnelInterface) record["tunnelInterface"] = *tunnelInterface;
    record["physicalAddresses"] = physicalAddresses;
    record["enableTokens"] = enableTokens;
    return json::writeOrdered(record);
}

PacketFilterKillSwitch::State PacketFilterKillSwitch::State::decode(std::string_view text) {
    const json::Value document = json::parse(text);
    const json::ObjectReader reader(document);
    const auto elementPath = [&reader](std::string_view key, std::size_t index) {
        return reader.pathOf(key) + "[" + std::to_string(index) + "]";
    };
    State state;
    state.schema = reader.integer<std::int64_t>("schema");
    state.desiredActive = reader.boolean("desiredActive");
    state.bootTimeSeconds = reader.integer<std::int64_t>("bootTimeSeconds");
    state.leaseExpiresAt = reader.number("leaseExpiresAt");
    state.endpointAddresses = reader.stringArray("endpointAddresses");
    state.endpointPort = reader.integer<std::int64_t>("endpointPort");
    (void)reader.stringArray("directAddresses");
    if (const json::Value* endpoints = reader.optionalValue("tailscaleUnderlayEndpoints")) {
        const json::Value& list = json::asArray(*endpoints, "tailscaleUnderlayEndpoints");
        state.tailscaleUnderlayEndpoints.emplace();
        for (std::size_t i = 0; i < list.size(); ++i) {
            state.tailscaleUnderlayEndpoints->push_back(
                TailscaleUnderlayEndpoint::fromJSON(list[i], elementPath("tailscaleUnderlayEndpoints", i)));
        }
    }
    if (const json::Value* regions = reader.optionalValue("tailscaleRegionIDs")) {
        const json::Value& list = json::asArray(*regions, "tailscaleRegionIDs");
        state.tailscaleRegionIDs.emplace();
        for (std::size_t i = 0; i < list.size(); ++i) {
            state.tailscaleRegionIDs->push_back(json::asInt64(list[i], elementPath("tailscaleRegionIDs", i)));
        }
    }
    state.tailscaleRelayRegionID = reader.optionalInteger<std::int64_t>("tailscaleRelayRegionID");
    state.tailscalePhysicalInterface = reader.optionalString("tailscalePhysicalInterface");
    state.tailscaleTunnelInterface = reader.optionalString("tailscaleTunnelInterface");
    state.tunnelInterface = reader.optionalString("tunnelInterface");
    state.physicalAddresses = reader.stringArray("physicalAddresses");
    const json::Value& tokens = reader.array("enableTokens");
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        state.enableTokens.push_back(json::asUInt64(tokens[i], elementPath("enableTokens", i)));
    }
    return state;
}

PacketFilterKillSwitch::Policy PacketFilterKillSwitch::Policy::from(
    const PrivilegedTunnelConfigurationValidator::Result& route) {
    return Policy{route.endpoint, route.endpointPort, route.defaultInterface};
}

PacketFilterKillSwitch::PacketFilterKillSwitch(std::filesystem::path runtimeDirectory,
                                               std::shared_ptr<SystemDNSOverride> dnsOverride)
    : PacketFilterKillSwitch(std::move(runtimeDirectory), std::move(dnsOverride), Services{}) {}

PacketFilterKillSwitch::PacketFilterKillSwitch(std::filesystem::path runtimeDirectory,
                                               std::shared_ptr<SystemDNSOverride> dnsOverride, Services services)
    : runtimeDirectory_(std::move(runtimeDirectory)),
      dnsOverride_(std::move(dnsOverride)),
      services_(std::move(services)) {}

// Both are made once and never destroyed: the watchdog's thread may still
// use them while the process exits.
std::unique_lock<std::mutex> PacketFilterKillSwitch::acquireLock() {
    static std::mutex& lock = *new std::mutex;
    return std::unique_lock(lock);
}

const Log& PacketFilterKillSwitch::log() {
    static const Log& log = *new Log("app.tarnel.direct.helper", "kill-switch");
    return log;
}

// ---- Building blocks ----

void PacketFilterKillSwitch::ensureRuntimeDirectory(bool creating) const {
    files::ensureRootPrivateDirectory(runtimeDirectory_, {.createWhenMissing = creating},
                                      [](files::RootPrivateDirectory) { return PrivilegedRuntimeError(Case::unsafeRuntimeDirectory); });
}

std::optional<PacketFilterKillSwitch::State> PacketFilterKillSwitch::loadState() const {
    // Whatever stands at the record's place, a link included, is a record to
    // judge; only a place where nothing stands means "no record".
    struct stat status {};
    if (::lstat(statePath().c_str(), &status) != 0 && errno == ENOENT) return std::nullopt;
    ensureRuntimeDirectory(false);
    const auto bytes = files::readRootPrivateFile(statePath(), kMaximumRecordSize);
    if (!bytes) fail(Case::corruptKillSwitchState);
    try {
        return State::decode(*bytes);
    } catch (const json::JsonError&) {
        fail(Case::corruptKillSwitchState);
    }
}

void PacketFilterKillSwitch::saveState(const State& state) const {
    ensureRuntimeDirectory(true);
    // Created with mode 0600 from the start, never readable by others.
    files::writeAtomically(statePath(), state.encoded(), 0600);
}

void PacketFilterKillSwitch::deleteStateFile() const noexcept {
    if (files::inspectRootPrivateDirectory(runtimeDirectory_) != files::RootPrivateDirectory::safe) return;
    // A directory put in the record's place goes too, so that the next record
    // can be written there.
    std::error_code ignored;
    std::filesystem::remove_all(statePath(), ignored);
}

std::int64_t PacketFilterKillSwitch::currentBootTimeSeconds() const {
    const auto boot = services_.bootClock->currentBoot();
    if (!boot) fail(Case::runtimeStorageUnavailable);
    return *boot;
}

bool PacketFilterKillSwitch::leaseIsLive(const State& state) const {
    return services_.wallClock->wallSeconds() < state.leaseExpiresAt;
}

void PacketFilterKillSwitch::expireStaleState() const {
    const auto state = loadState();
    if (!state) return;
    if (!state->desiredActive) {
        clearProtection(*state, true);
        return;
    }
    if (state->schema != schemaVersion) fail(Case::corruptKillSwitchState);
    const bool sameBoot = state->bootTimeSeconds == currentBootTimeSeconds();
    if (sameBoot && leaseIsLive(*state)) return;
    clearProtection(*state, sameBoot);
}

PacketFilterKillSwitch::State PacketFilterKillSwitch::requireLiveLease() const {
    auto state = loadState();
    if (!state || !state->desiredActive || state->schema != schemaVersion) fail(Case::corruptKillSwitchState);
    const bool sameBoot = state->bootTimeSeconds == currentBootTimeSeconds();
    if (sameBoot && leaseIsLive(*state)) return std::move(*state);
    clearProtection(std::move(*state), sameBoot);
    fail(Case::killSwitchLeaseExpired);
}

void PacketFilterKillSwitch::clearProtection(State state, bool releasingTokens) const {
    dnsOverride_->restore();
    state.desiredActive = false;
    saveState(state);
    services_.packetFilter.flushAnchor();
    const auto unreleased =
        releasingTokens ? services_.packetFilter.releaseEnableTokens(state.enableTokens) : std::vector<std::uint64_t>{};
    if (unreleased.empty()) {
        deleteStateFile();
        return;
    }
    state.enableTokens = unreleased;
    saveState(state);
}

PacketFilterRules::AnchorInputs PacketFilterKillSwitch::anchorInputs(const State& state) {
    PacketFilterRules::AnchorInputs inputs;
    inputs.endpoints = state.endpointAddresses;
    inputs.endpointPort = state.endpointPort;
    inputs.tunnelInterface = state.tunnelInterface;
    if (state.isTailscaleMode()) {
        inputs.tailscale.underlayEndpoints = *state.tailscaleUnderlayEndpoints;
        inputs.tailscale.tailscaleTunnelInterface = state.tailscaleTunnelInterface;
        inputs.tailscale.tailscalePhysicalInterface = state.tailscalePhysicalInterface;
        inputs.tailscale.physicalSourceAddresses = state.physicalAddresses;
    }
    return inputs;
}

void PacketFilterKillSwitch::loadAnchorRules(const State& state) const {
    services_.packetFilter.loadAnchorRules(anchorInputs(state));
}

void PacketFilterKillSwitch::restoreDNSAndFlushAnchor() const {
    dnsOverride_->restore();
    services_.packetFilter.flushAnchor();
}

// ---- Status and lease ----

bool PacketFilterKillSwitch::isProtectionActive() const {
    const auto guard = acquireLock();
    expireStaleState();
    const auto state = loadState();
    return state && state->desiredActive;
}

void PacketFilterKillSwitch::renewLease() const {
    const auto guard = acquireLock();
    State state = requireLiveLease();
    state.leaseExpiresAt = services_.wallClock->wallSeconds() + leaseSeconds;
    saveState(state);
}

// ---- Activation ----

void PacketFilterKillSwitch::activate(const Policy& policy) const { activate(policy, Tailscale{}); }

void PacketFilterKillSwitch::activate(const Policy& policy, const Tailscale& tailscale) const {
    const auto guard = acquireLock();
    const PacketFilterControl& packetFilter = services_.packetFilter;

    const auto endpointAddresses = resolveEndpointAddresses(policy.endpointHost, services_.resolver);
    const auto interfaceList = services_.interfaces->addresses();
    const auto physicalAddresses = interfaceList
                                       ? tarnel::physicalInterfaceAddresses(*interfaceList, policy.physicalInterface)
                                       : std::vector<std::string>{};

    const bool tailscaleMode = tailscale.underlayEndpoints.has_value();
    if (tailscale.regionIDs.has_value() != tailscaleMode ||
        (tailscaleMode && (!policy.physicalInterface || physicalAddresses.empty() ||
                           tailscale.underlayEndpoints->empty()))) {
        fail(Case::tailscaleCompatibilityUnavailable);
    }

    std::optional<State> previous;
    try {
        previous = loadState();
    } catch (const Error&) {
        // A record that cannot be read is replaced: undo what it may have
        // put in force, then go on as if there were none.
        restoreDNSAndFlushAnchor();
        deleteStateFile();
    }

    const double now = services_.wallClock->wallSeconds();
    State state;
    state.schema = schemaVersion;
    state.desiredActive = true;
    state.bootTimeSeconds = currentBootTimeSeconds();
    state.leaseExpiresAt = now + leaseSeconds;
    state.endpointAddresses = endpointAddresses;
    state.endpointPort = policy.endpointPort;
    state.tailscaleUnderlayEndpoints = tailscale.underlayEndpoints;
    state.tailscaleRegionIDs = tailscale.regionIDs;
    if (tailscale.regionIDs) state.tailscaleRelayRegionID = tailscale.relayRegionID;
    if (tailscaleMode) {
        state.tailscalePhysicalInterface = policy.physicalInterface;
        state.tailscaleTunnelInterface = tailscale.tunnelInterface;
    }
    state.physicalAddresses = physicalAddresses;
    const std::vector<std::uint64_t> previousTokens = previous ? previous->enableTokens : std::vector<std::uint64_t>{};
    state.enableTokens = previousTokens;

    // Nothing has changed yet when the record cannot be written.
    saveState(state);

    std::optional<std::uint64_t> newToken;
    try {
        loadAnchorRules(state);
        newToken = packetFilter.enablePacketFilter();
        state.enableTokens.push_back(*newToken);
        saveState(state);
        packetFilter.killStates(state.physicalAddresses, state.tailscaleUnderlayEndpoints);
    } catch (...) {
        rollBackActivation(previous, newToken);
        throw;
    }

    // The new protection is in force; only the references it replaced remain
    // to be released. A failure to record that is thrown without a rollback.
    const auto unreleased = packetFilter.releaseEnableTokens(supersededBy(*newToken, previousTokens));
    state.enableTokens = followedBy(*newToken, unreleased);
    saveState(state);
}

void PacketFilterKillSwitch::rollBackActivation(const std::optional<State>& previous,
                                                std::optional<std::uint64_t> newToken) const noexcept {
    const PacketFilterControl& packetFilter = services_.packetFilter;
    // A flag and a value rather than the optional itself: GCC 12 at -O3 takes
    // its payload for uninitialised once the release below is inlined.
    bool holdingNewToken = newToken.has_value();
    const std::uint64_t newTokenValue = newToken.value_or(0);
    // Only a protection that was wanted is put back. A record kept only for
    // references still to release had its rules flushed already; loading them
    // again would block the machine for a protection nobody wants.
    if (previous && previous->desiredActive) {
        try {
            loadAnchorRules(*previous);
            State restored = *previous;
            if (holdingNewToken) {
                const auto unreleased = packetFilter.releaseEnableTokens({newTokenValue});
                for (const std::uint64_t token : unreleased) restored.enableTokens.push_back(token);
                // Released: the clearing below must not release it a second
                // time (and keep a reference that nobody holds).
                if (unreleased.empty()) holdingNewToken = false;
            }
            saveState(restored);
            return;
        } catch (...) {
            log().error("kill_switch_previous_state_restore_failed clearing_protection=true");
        }
    }

    try {
        restoreDNSAndFlushAnchor();
    } catch (...) {
        log().error("kill_switch_activation_rollback_failed lease_recovery_required=true");
        return;
    }

    try {
        std::vector<std::uint64_t> held;
        if (holdingNewToken) held.push_back(newTokenValue);
        if (previous) {
            for (const std::uint64_t token : previous->enableTokens) held.push_back(token);
        }
        const auto unreleased = packetFilter.releaseEnableTokens(held);
        if (unreleased.empty()) {
            deleteStateFile();
            return;
        }
        if (auto current = loadState()) {
            current->desiredActive = false;
            current->enableTokens = unreleased;
            saveState(*current);
        }
    } catch (...) {
        // The anchor is flushed; a record that could not be updated is
        // cleared by a later expiry check.
    }
}

// ---- Promotion, reconciliation, deactivation ----

void PacketFilterKillSwitch::promote(const std::string& tunnelInterface) const {
    const auto guard = acquireLock();
    // The protection a start switched on and that is gone by now (its lease
    // ran out and the watchdog took it down) has lapsed for that start.
    const std::optional<State> recorded = loadState();
    if (!recorded || !recorded->desiredActive) fail(Case::killSwitchLeaseExpired);
    State state = requireLiveLease();
    state.tunnelInterface = tunnelInterface;
    state.leaseExpiresAt = services_.wallClock->wallSeconds() + leaseSeconds;
    loadAnchorRules(state);
    saveState(state);
}

void PacketFilterKillSwitch::restoreAfterLaunch() const {
    const auto guard = acquireLock();
    const PacketFilterControl& packetFilter = services_.packetFilter;
    auto loaded = loadState();
    if (!loaded) {
        restoreDNSAndFlushAnchor();
        return;
    }
    State state = std::move(*loaded);
    const bool sameBoot = state.bootTimeSeconds == currentBootTimeSeconds();
    if (state.schema != schemaVersion) {
        clearProtection(std::move(state), sameBoot);
        return;
    }
    if (!state.desiredActive) {
        clearProtection(std::move(state), true);
        return;
    }
    if (!sameBoot || !leaseIsLive(state)) {
        clearProtection(std::move(state), sameBoot);
        return;
    }

    if (state.tunnelInterface && !services_.interfaces->exists(*state.tunnelInterface)) {
        state.tunnelInterface.reset();
    }
    if (state.tailscaleTunnelInterface && !services_.interfaces->exists(*state.tailscaleTunnelInterface)) {
        fail(Case::tailscaleCompatibilityUnavailable);
    }

    loadAnchorRules(state);
    const std::uint64_t newToken = packetFilter.enablePacketFilter();
    const std::vector<std::uint64_t> oldTokens = state.enableTokens;
    try {
        state.enableTokens.push_back(newToken);
        saveState(state);
        packetFilter.killStates(state.physicalAddresses, state.tailscaleUnderlayEndpoints);
    } catch (...) {
        // A new reference that cannot be released stays recorded, so that no
        // reference is ever held by nobody.
        const auto unreleased = packetFilter.releaseEnableTokens({newToken});
        state.enableTokens = oldTokens;
        state.enableTokens.insert(state.enableTokens.end(), unreleased.begin(), unreleased.end());
        try {
            saveState(state);
        } catch (...) {
            // The first failure is the one reported.
        }
        throw;
    }

    const auto unreleased = packetFilter.releaseEnableTokens(supersededBy(newToken, oldTokens));
    state.enableTokens = followedBy(newToken, unreleased);
    saveState(state);
}

void PacketFilterKillSwitch::deactivate() const {
    const auto guard = acquireLock();
    std::optional<State> state;
    try {
        state = loadState();
    } catch (const Error&) {
        // Disconnect always gives back direct internet: an unreadable record
        // is repaired rather than reported.
        restoreDNSAndFlushAnchor();
        deleteStateFile();
        return;
    }
    if (!state) {
        restoreDNSAndFlushAnchor();
        return;
    }
    clearProtection(std::move(*state), true);
}

void PacketFilterKillSwitch::clearState() const {
    const auto guard = acquireLock();
    // The anchor goes even when DNS cannot be restored: this runs when a
    // lease has lapsed, and a lapsed lease must never keep the machine
    // blocked. The record stays until the restore succeeds.
    std::exception_ptr dnsFailure;
    try {
        dnsOverride_->restore();
    } catch (...) {
        dnsFailure = std::current_exception();
    }
    try {
        services_.packetFilter.flushAnchor();
    } catch (...) {
        // The first failure is the one reported.
        if (dnsFailure) std::rethrow_exception(dnsFailure);
        throw;
    }
    if (dnsFailure) std::rethrow_exception(dnsFailure);
    deleteStateFile();
}

bool PacketFilterKillSwitch::tailscaleInterfaceLost() const {
    const auto guard = acquireLock();
    const auto state = loadState();
    return state && state->desiredActive && state->tailscaleTunnelInterface &&
           !services_.interfaces->exists(*state->tailscaleTunnelInterface);
}

}  // namespace tarnel
