#include "app/tunnel/tailscale_compatibility.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "common/base/json.hpp"
#include "common/base/utf8.hpp"
#include "common/contract/tailscale_compatibility_request.hpp"
#include "common/contract/vpn_service_list.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/system_tools.hpp"

namespace tarnel::TailscaleCompatibility {

namespace {

using json::Value;
using Case = TailscaleCompatibilityError::Case;

[[noreturn]] void fail(Case errorCase) { throw TailscaleCompatibilityError(errorCase); }
[[noreturn]] void invalid(const char* what) { throw TailscaleCompatibilityError::invalidResponse(what); }

Value parseDocument(std::string_view text) {
    return json::parse(text, json::TopLevel::any, json::kDefaultMaximumDepth, json::WideIntegers::asDouble);
}

const Value* member(const Value& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

bool isNonEmptyString(const Value* value) {
    return value != nullptr && value->is_string() && !value->get_ref<const std::string&>().empty();
}

// A region identifier written as its key: ASCII digits within 64 bits.
std::optional<std::int64_t> decimalIdentifier(std::string_view key) {
    if (key.empty()) return std::nullopt;
    std::int64_t value = 0;
    for (const char digit : key) {
        if (digit < '0' || digit > '9') return std::nullopt;
        if (value > (std::numeric_limits<std::int64_t>::max() - (digit - '0')) / 10) return std::nullopt;
        value = value * 10 + (digit - '0');
    }
    return value;
}

void checkPreferences(std::string_view text) {
    Value preferences;
    try {
        preferences = parseDocument(text);
    } catch (const json::JsonError&) {
        invalid("preferences");
    }
    if (!preferences.is_object()) invalid("preferences");
    for (const char* key : {"ExitNodeID", "ExitNodeIP"}) {
        if (isNonEmptyString(member(preferences, key))) fail(Case::exitNodeUnsupported);
    }
}

// The relay region's code.
std::string relayCode(std::string_view text) {
    const Value status = parseDocument(text);
    if (!status.is_object()) invalid("status");
    const Value* backend = member(status, "BackendState");
    const Value* self = member(status, "Self");
    if (backend == nullptr || *backend != "Running" || self == nullptr || !self->is_object()) {
        fail(Case::relayUnavailable);
    }
    const Value* online = member(*self, "Online");
    const Value* relay = member(*self, "Relay");
    if (online == nullptr || *online != true || !isNonEmptyString(relay)) fail(Case::relayUnavailable);
    return relay->get<std::string>();
}

struct Region {
    std::int64_t identifier;
    std::string code;
};

// The regions of the DERP map in ascending identifier order.
std::vector<Region> derpRegions(std::string_view text) {
    const Value map = parseDocument(text);
    const Value* regions = map.is_object() ? member(map, "Regions") : nullptr;
    if (regions == nullptr || !regions->is_object()) invalid("DERP map");
    std::vector<Region> list;
    list.reserve(regions->size());
    for (const auto& [key, region] : regions->items()) {
        const auto identifier = decimalIdentifier(key);
        if (!identifier || !region.is_object()) invalid("DERP map");
        const Value* code = member(region, "RegionCode");
        const Value* declared = member(region, "RegionID");
        if (!isNonEmptyString(code) || declared == nullptr || !declared->is_number()) invalid("DERP map");
        list.push_back({*identifier, code->get<std::string>()});
    }
    std::stable_sort(list.begin(), list.end(),
                     [](const Region& a, const Region& b) { return a.identifier < b.identifier; });
    return list;
}

// One run of a tool within the snapshot's deadline and stop. The checkpoint's
// own error passes; a tool that cannot be started is `launchFailure`, every
// other failure commandFailed.
BoundedCommandResult runBounded(const BoundedCommandInvocation& invocation, std::int64_t cap, double deadline,
                                const std::stop_token& stop, const Clock& clock, Case launchFailure) {
    try {
        return BoundedCommandRunner::runTailscaleSnapshotCommand(invocation, cap, deadline, stop, clock);
    } catch (const TailscaleCompatibilityError&) {
        throw;
    } catch (const BoundedCommandRunnerError& error) {
        fail(error.errorCase() == BoundedCommandRunnerError::Case::launchFailed ? launchFailure : Case::commandFailed);
    } catch (const std::exception&) {
        fail(Case::commandFailed);
    }
}

bool isExecutableFile(const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string payloadFromDocuments(std::string_view preferences, std::string_view status, std::string_view derpMap) {
    checkPreferences(preferences);
    const std::string relay = relayCode(status);
    const std::vector<Region> regions = derpRegions(derpMap);

    std::optional<std::int64_t> relayRegion;
    std::vector<std::int64_t> identifiers;
    identifiers.reserve(regions.size());
    for (const Region& region : regions) {
        if (!identifiers.empty() && identifiers.back() == region.identifier) fail(Case::relayUnavailable);
        identifiers.push_back(region.identifier);
        if (!relayRegion && region.code == relay) relayRegion = region.identifier;
    }
    if (!relayRegion) fail(Case::relayUnavailable);
    return PrivilegedHelperContract::tailscaleCompatibilityPayload(identifiers, *relayRegion);
}

std::optional<std::string> snapshot(double deadlineUptime, const std::stop_token& stop, const Clock& clock) {
    checkpoint(deadlineUptime, stop, clock);
    const BoundedCommandResult list =
        runBounded({std::string(SystemTools::scutil), {"--nc", "list"}}, maximumServiceListBytes, deadlineUptime, stop,
                   clock, Case::commandFailed);
    if (list.terminationStatus != 0) fail(Case::commandFailed);
    if (!PrivilegedHelperContract::connectedVPNServiceIdentifier(utf8::decodeReplacingInvalid(list.output),
                                                                 tailscaleVPNType)) {
        return std::nullopt;
    }

    if (!isExecutableFile(SystemTools::resolve(SystemTools::tailscale))) fail(Case::commandUnavailable);
    std::string documents[3];
    const std::vector<std::string> calls[3] = {{"debug", "prefs"}, {"status", "--json"}, {"debug", "derp-map"}};
    for (std::size_t i = 0; i < 3; ++i) {
        BoundedCommandResult run = runBounded({std::string(SystemTools::tailscale), calls[i]}, maximumToolOutputBytes,
                                              deadlineUptime, stop, clock, Case::commandUnavailable);
        if (run.terminationStatus != 0 || run.output.empty()) fail(Case::commandFailed);
        documents[i] = std::move(run.output);
    }
    return payloadFromDocuments(documents[0], documents[1], documents[2]);
}

}  // namespace tarnel::TailscaleCompatibility
