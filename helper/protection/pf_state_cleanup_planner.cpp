#include "helper/protection/pf_state_cleanup_planner.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <unordered_set>

#include "common/base/ip_literal.hpp"
#include "common/base/utf8.hpp"
#include "common/contract/helper_contract.hpp"
#include "helper/protection/packet_filter_rules.hpp"

namespace tarnel::PrivilegedPFStateCleanupPlanner {

namespace {

[[noreturn]] void reject(const char* reason) { throw PrivilegedHelperContractError::invalidConfiguration(reason); }

// A signed decimal integer in the 64-bit range: an optional sign and one or
// more ASCII digits, nothing else.
std::optional<std::int64_t> parsePort(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // Accumulated as a negative number, whose range is one larger.
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const int digit = c - '0';
        if (value < (lowest + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == lowest) return std::nullopt;
        value = -value;
    }
    return value;
}

struct PairHash {
    std::size_t operator()(const PrivilegedPFStateKillTarget& pair) const noexcept {
        const std::size_t first = std::hash<std::string>{}(pair.sourceAddress);
        return first ^ (std::hash<std::string>{}(pair.destinationAddress) + 0x9e3779b97f4a7c15ULL + (first << 6) +
                        (first >> 2));
    }
};

bool isNotice(std::string_view line) {
    return line == "No ALTQ support in kernel" || line == "ALTQ related functions disabled";
}

}  // namespace

std::optional<Endpoint> parseEndpoint(std::string_view token) {
    const auto isTrimmed = [](char c) { return c == '(' || c == ')' || c == ','; };
    while (!token.empty() && isTrimmed(token.front())) token.remove_prefix(1);
    while (!token.empty() && isTrimmed(token.back())) token.remove_suffix(1);

    const auto literal = [](std::string_view address) -> std::optional<std::string> {
        if (!isIPLiteral(address)) return std::nullopt;
        return std::string(address);
    };
    const auto endpoint = [&](std::string_view address,
                              std::optional<std::string_view> portText) -> std::optional<Endpoint> {
        auto checked = literal(address);
        if (!checked) return std::nullopt;
        if (!portText) return Endpoint{std::move(*checked), std::nullopt};
        const auto port = parsePort(*portText);
        if (!port) return std::nullopt;
        return Endpoint{std::move(*checked), port};
    };

    // "[address]" or "[address]:port".
    if (token.starts_with('[') && token.find(']') != std::string_view::npos) {
        const std::size_t close = token.find(']');
        const std::string_view rest = token.substr(close + 1);
        if (rest.empty()) return endpoint(token.substr(1, close - 1), std::nullopt);
        if (rest.front() != ':') return std::nullopt;
        return endpoint(token.substr(1, close - 1), rest.substr(1));
    }
    // "address[port]", the printed form of IPv6 states.
    if (token.ends_with(']') && token.find('[') != std::string_view::npos) {
        const std::size_t open = token.rfind('[');
        return endpoint(token.substr(0, open), token.substr(open + 1, token.size() - open - 2));
    }
    // A bare address.
    if (auto address = literal(token)) return Endpoint{std::move(*address), std::nullopt};
    // "address:port", the printed form of IPv4 states.
    const std::size_t colon = token.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    return endpoint(token.substr(0, colon), token.substr(colon + 1));
}

StateEntry parseStateLine(std::string_view line) {
    std::vector<std::string_view> tokens;
    for (std::size_t offset = 0; offset < line.size();) {
        if (const std::size_t space = utf8::whiteSpaceLength(line, offset)) {
            offset += space;
            continue;
        }
        const std::size_t start = offset;
        while (offset < line.size() && utf8::whiteSpaceLength(line, offset) == 0) ++offset;
        tokens.push_back(line.substr(start, offset - start));
    }

    const auto arrow = std::find_if(tokens.begin(), tokens.end(),
                                    [](std::string_view token) { return token == "->" || token == "<-"; });
    if (arrow == tokens.end() || arrow == tokens.begin() || arrow + 1 == tokens.end()) {
        reject("PF state table format is unsupported");
    }

    StateEntry entry;
    entry.protocolName = "other";
    for (auto it = tokens.begin(); it != arrow; ++it) {
        if (*it == "tcp" || *it == "udp" || *it == "icmp" || *it == "icmp6") {
            entry.protocolName = std::string(*it);
            break;
        }
    }
    const auto firstEndpoint = [](auto begin, auto end) -> std::optional<Endpoint> {
        for (auto it = begin; it != end; ++it) {
            if (auto endpoint = parseEndpoint(*it)) return endpoint;
        }
        return std::nullopt;
    };
    auto left = firstEndpoint(tokens.begin(), arrow);
    auto right = firstEndpoint(arrow + 1, tokens.end());
    if (!left || !right) reject("PF state endpoint format is unsupported");
    if (*arrow == "->") {
        entry.source = std::move(*left);
        entry.destination = std::move(*right);
    } else {
        entry.source = std::move(*right);
        entry.destination = std::move(*left);
    }
    return entry;
}

std::vector<PrivilegedPFStateKillTarget> killTargets(std::string_view stateTable,
                                                     const std::vector<std::string>& addresses,
                                                     const std::vector<TailscaleUnderlayEndpoint>& underlayEndpoints) {
    const auto underlay = TailscaleUnderlayEndpoint::validatedList(underlayEndpoints);
    const bool addressesValid = !addresses.empty() && addresses.size() <= maximumAddresses &&
                                std::all_of(addresses.begin(), addresses.end(),
                                            [](const std::string& address) { return isIPLiteral(address); });
    if (!addressesValid || stateTable.size() > maximumStateTableBytes) reject("PF state cleanup input is invalid");

    const std::unordered_set<std::string_view> sources(addresses.begin(), addresses.end());
    const std::unordered_set<TailscaleUnderlayEndpoint, TailscaleUnderlayEndpointHash> allowedEndpoints(
        underlay.begin(), underlay.end());
    std::unordered_set<PrivilegedPFStateKillTarget, PairHash> allowed;
    std::unordered_set<PrivilegedPFStateKillTarget, PairHash> considered;

    std::size_t counted = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = stateTable.find('\n', start);
        const std::string_view line =
            utf8::trimWhiteSpace(stateTable.substr(start, end == std::string_view::npos ? std::string_view::npos
                                                                                         : end - start));
        if (!line.empty() && !isNotice(line)) {
            if (++counted > maximumStateLines) reject("PF state table is too large");
            StateEntry entry = parseStateLine(line);
            if (sources.contains(entry.source.address)) {
                const auto transport = tailscaleUnderlayTransport(entry.protocolName);
                const bool isAllowed =
                    transport && entry.destination.port &&
                    allowedEndpoints.contains(
                        TailscaleUnderlayEndpoint{entry.destination.address, *entry.destination.port, *transport}) &&
                    (*transport == TailscaleUnderlayTransport::tcp ||
                     entry.source.port == PacketFilterRules::tailscaleSourcePort);
                PrivilegedPFStateKillTarget pair{std::move(entry.source.address),
                                                 std::move(entry.destination.address)};
                (isAllowed ? allowed : considered).insert(std::move(pair));
            }
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }

    std::vector<PrivilegedPFStateKillTarget> targets;
    for (const auto& pair : considered) {
        if (!allowed.contains(pair)) targets.push_back(pair);
    }
    std::sort(targets.begin(), targets.end());
    return targets;
}

}  // namespace tarnel::PrivilegedPFStateCleanupPlanner
