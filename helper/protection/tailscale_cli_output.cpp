#include "helper/protection/tailscale_cli_output.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <set>

#include "common/base/ip_literal.hpp"
#include "common/contract/helper_contract.hpp"

namespace tarnel::PrivilegedHelperContract {

namespace {

using json::Value;
using Endpoints = std::set<TailscaleUnderlayEndpoint>;

constexpr std::int64_t kDefaultDERPPort = 443;
constexpr std::int64_t kDefaultSTUNPort = 3478;
constexpr std::int64_t kNoSTUN = -1;

[[noreturn]] void fail(std::string_view reason) {
    throw PrivilegedHelperContractError::invalidConfiguration(std::string(reason));
}

// The member `key` of an object, or null when the key is absent. A member
// that holds JSON null is returned like any other value.
const Value* member(const Value& object, std::string_view key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

bool isPort(std::int64_t value) { return value >= 1 && value <= 65535; }

// A decimal integer written as a whole: an optional "+" or "-" and at least
// one ASCII digit, within the 64-bit range.
std::optional<std::int64_t> decimalInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::int64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;  // beyond the 64-bit range
    }
    return negative ? -magnitude : magnitude;
}

std::optional<std::int64_t> integerOrFail(const Value* value, std::string_view reason) {
    if (value == nullptr) return std::nullopt;
    // The reader keeps integer literals as 64-bit integers and everything
    // else as doubles; booleans are never numbers.
    if (value->is_number_unsigned()) {
        const auto wide = value->get<std::uint64_t>();
        if (wide > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) fail(reason);
        return static_cast<std::int64_t>(wide);
    }
    if (value->is_number_integer()) return value->get<std::int64_t>();
    if (!value->is_number_float()) fail(reason);
    const double number = value->get<double>();
    // Integral and inside the 64-bit range before it is converted: 2^63 is the
    // first double outside it.
    constexpr double limit = 9'223'372'036'854'775'808.0;
    if (std::trunc(number) != number || !(number >= -limit && number < limit)) fail(reason);
    return static_cast<std::int64_t>(number);
}

bool booleanOrFail(const Value* value, bool defaultValue, std::string_view reason) {
    if (value == nullptr) return defaultValue;
    if (!value->is_boolean()) fail(reason);
    return value->get<bool>();
}

const std::string* stringOrFail(const Value* value, std::string_view reason) {
    if (value == nullptr) return nullptr;
    if (!value->is_string()) fail(reason);
    return &value->get_ref<const std::string&>();
}

// The parsed document when its size is within the bounds, checked before a
// byte of it is read as JSON. Every number is judged by its value, so an
// integer beyond 64 bits is read as a double rather than refused as no JSON.
Value parseBoundedObject(std::string_view output, std::string_view reason) {
    if (output.empty() || output.size() > maximumTailscaleDocumentSize) fail(reason);
    Value document =
        json::parse(output, json::TopLevel::any, json::kDefaultMaximumDepth, json::WideIntegers::asDouble);
    if (!document.is_object()) fail(reason);
    return document;
}

std::vector<TailscaleUnderlayEndpoint> canonicalList(Endpoints&& endpoints) {
    return TailscaleUnderlayEndpoint::validatedList(
        {std::make_move_iterator(endpoints.begin()), std::make_move_iterator(endpoints.end())});
}

// Every region of the map by its numeric identifier, after the checks that
// apply to requested and unrequested regions alike.
std::map<std::int64_t, const Value*> indexRegions(const Value& regions) {
    std::map<std::int64_t, const Value*> index;
    for (const auto& [key, region] : regions.items()) {
        const auto identifier = decimalInteger(key);
        if (!identifier || *identifier < 1 || *identifier > maximumTailscaleRegionID || !region.is_object()) {
            fail(kInvalidDERPMapReason);
        }
        const auto declared = derpInteger(member(region, "RegionID"));
        if (!declared || (*declared != 0 && *declared != *identifier)) fail(kInvalidDERPMapReason);
        // "7" and "07" are two keys of the object but one region.
        if (!index.emplace(*identifier, &region).second) fail(kInvalidDERPMapReason);
    }
    return index;
}

std::int64_t derpNodeDERPPort(const Value& node) {
    const auto port = derpInteger(member(node, "DERPPort"));
    if (!port || *port == 0) return kDefaultDERPPort;
    if (!isPort(*port)) fail(kInvalidDERPMapReason);
    return *port;
}

// Adds a node's endpoints; true when it added a relay (tcp) endpoint.
bool collectNode(const Value& node, std::int64_t regionID, Endpoints& endpoints) {
    const auto nodeRegion = derpInteger(member(node, "RegionID"));
    if (nodeRegion && *nodeRegion != 0 && *nodeRegion != regionID) fail(kInvalidDERPMapReason);
    if (derpBoolean(member(node, "InsecureForTests"), false)) fail(kInvalidDERPMapReason);
    if (const auto stunTestIP = derpString(member(node, "STUNTestIP")); stunTestIP && !stunTestIP->empty()) {
        fail(kInvalidDERPMapReason);
    }
    const auto addresses = derpNodeAddresses(node);
    if (addresses.empty()) {
        return false;  // a node without addresses reaches nothing; the rest of it is not read
    }
    bool addedRelay = false;
    if (!derpBoolean(member(node, "STUNOnly"), false)) {
        const std::int64_t port = derpNodeDERPPort(node);
        for (const std::string& address : addresses) {
            endpoints.insert({address, port, TailscaleUnderlayTransport::tcp});
        }
        addedRelay = true;
    }
    if (const auto stunPort = derpNodeSTUNPort(node)) {
        for (const std::string& address : addresses) {
            endpoints.insert({address, *stunPort, TailscaleUnderlayTransport::udp});
        }
    }
    return addedRelay;
}

}  // namespace

std::optional<std::int64_t> derpInteger(const json::Value* value) {
    return integerOrFail(value, kInvalidDERPMapReason);
}

bool derpBoolean(const json::Value* value, bool defaultValue) {
    return booleanOrFail(value, defaultValue, kInvalidDERPMapReason);
}

std::optional<std::string> derpString(const json::Value* value) {
    const std::string* text = stringOrFail(value, kInvalidDERPMapReason);
    if (text == nullptr) return std::nullopt;
    return *text;
}

std::vector<std::string> derpNodeAddresses(const json::Value& node) {
    std::set<std::string> addresses;
    for (const std::string_view key : {"IPv4", "IPv6"}) {
        auto address = derpString(member(node, key));
        if (!address || address->empty() || *address == "none") continue;
        if (!isIPLiteral(*address)) fail(kInvalidDERPMapReason);
        addresses.insert(std::move(*address));
    }
    return {addresses.begin(), addresses.end()};
}

std::optional<std::int64_t> derpNodeSTUNPort(const json::Value& node) {
    const auto port = derpInteger(member(node, "STUNPort"));
    if (!port || *port == 0) return kDefaultSTUNPort;
    if (*port == kNoSTUN) return std::nullopt;
    if (!isPort(*port)) fail(kInvalidDERPMapReason);
    return port;
}

std::vector<TailscaleUnderlayEndpoint> tailscaleUnderlayEndpointsFromDERPMap(std::string_view output,
                                                                            std::span<const std::int64_t> regionIDs,
                                                                            std::int64_t relayRegionID) {
    const Value document = parseBoundedObject(output, kInvalidDERPMapReason);
    const Value* regions = member(document, "Regions");
    if (regions == nullptr || !regions->is_object()) fail(kInvalidDERPMapReason);
    const auto index = indexRegions(*regions);

    if (regionIDs.empty() || regionIDs.size() > maximumTailscaleRegionCount) fail(kInvalidDERPMapReason);
    Endpoints endpoints;
    bool relayRegionHasRelay = false;
    for (const std::int64_t regionID : regionIDs) {
        const auto region = index.find(regionID);
        if (region == index.end()) fail(kInvalidDERPMapReason);
        const Value* nodes = member(*region->second, "Nodes");
        if (nodes == nullptr || !nodes->is_array() || nodes->empty() || nodes->size() > maximumDERPNodesPerRegion ||
            !std::all_of(nodes->begin(), nodes->end(), [](const Value& node) { return node.is_object(); })) {
            fail(kInvalidDERPMapReason);
        }
        for (const Value& node : *nodes) {
            if (collectNode(node, regionID, endpoints) && regionID == relayRegionID) {
                relayRegionHasRelay = true;
            }
            if (endpoints.size() > TailscaleUnderlayEndpoint::maximumCount) fail(kInvalidDERPMapReason);
        }
    }
    if (!relayRegionHasRelay) fail(kInvalidDERPMapReason);
    return canonicalList(std::move(endpoints));
}

TailscalePeerAddress tailscalePeerAddress(std::string_view text) {
    std::string_view host;
    std::string_view portText;
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            fail(kInvalidStatusReason);
        }
        host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else {
        const std::size_t colon = text.find(':');
        if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos) {
            fail(kInvalidStatusReason);
        }
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    if (host.empty() || !isIPLiteral(host)) fail(kInvalidStatusReason);
    const auto port = decimalInteger(portText);
    if (!port || !isPort(*port)) fail(kInvalidStatusReason);
    return {std::string(host), *port};
}

std::vector<TailscaleUnderlayEndpoint> tailscaleUnderlayEndpointsFromStatus(std::string_view output) {
    const Value document = parseBoundedObject(output, kInvalidStatusReason);
    const Value* peers = member(document, "Peer");
    // The tool writes an empty peer map as null: no peers, like an absent key.
    if (peers == nullptr || peers->is_null()) return {};
    if (!peers->is_object()) fail(kInvalidStatusReason);

    Endpoints endpoints;
    for (const Value& peer : *peers) {
        if (!peer.is_object()) fail(kInvalidStatusReason);
        const bool active = booleanOrFail(member(peer, "Active"), false, kInvalidStatusReason);
        const std::string* currentAddress = stringOrFail(member(peer, "CurAddr"), kInvalidStatusReason);
        if (!active || currentAddress == nullptr || currentAddress->empty()) continue;
        auto address = tailscalePeerAddress(*currentAddress);
        endpoints.insert({std::move(address.host), address.port, TailscaleUnderlayTransport::udp});
        if (endpoints.size() > TailscaleUnderlayEndpoint::maximumCount) fail(kInvalidStatusReason);
    }
    if (endpoints.empty()) return {};
    return canonicalList(std::move(endpoints));
}

}  // namespace tarnel::PrivilegedHelperContract
