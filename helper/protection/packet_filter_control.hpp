#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/clock.hpp"
#include "helper/protection/packet_filter_rules.hpp"
#include "helper/protection/tailscale_underlay_endpoint.hpp"
#include "platform/host_resolution.hpp"
#include "platform/network_interfaces.hpp"

namespace tarnel {

// The packet-filter anchor that the kill switch owns. The kill switch never
// edits the main ruleset: it loads, replaces and flushes this anchor and takes
// and releases enable references.
inline constexpr std::string_view packetFilterAnchor = "com.apple/tarnel-direct";

// Runs the packet-filter tool (SystemTools::pfctl, "/sbin/pfctl") for the
// kill switch. Each run goes through the bounded command runner: standard
// output and standard error share one pipe, input text is written from its own
// thread while the output is read, and the run is bounded by a deadline
// (SIGTERM, a short wait, SIGKILL) and an output cap above the state
// cleanup's 4 MiB input limit. A run that cannot be started, does not deliver
// its input, passes its bounds or exits with another status than 0 throws
// PrivilegedRuntimeError packetFilterCommandFailed. The caller holds the
// kill-switch lock, so one tool runs at a time; each call blocks until its
// run ends.
class PacketFilterControl {
public:
    static constexpr double defaultTimeout = 30.0;
    static constexpr std::int64_t defaultOutputLimit = 8 * 1024 * 1024;

    explicit PacketFilterControl(const Clock& clock = SystemClock::shared(), double timeoutSeconds = defaultTimeout,
                                 std::int64_t maximumOutputBytes = defaultOutputLimit);

    // One run with these arguments and, optionally, this text on standard
    // input; returns the combined output, ill-formed UTF-8 replaced by U+FFFD.
    std::string runPacketFilterControl(const std::vector<std::string>& arguments,
                                       const std::optional<std::string>& input = std::nullopt) const;

    // Renders the rule text (PacketFilterRules::anchorRules, whose
    // invalidConfiguration passes unchanged), checks it with a dry run and
    // then loads it, replacing the anchor's rules as a whole. A failed dry run
    // loads nothing.
    void loadAnchorRules(const PacketFilterRules::AnchorInputs& inputs) const;

    // Removes every rule of the anchor.
    void flushAnchor() const;

    // Enables the packet filter and takes a reference: the first match of
    // "Token\s*:\s*([0-9]+)" in the output. Throws packetFilterEnableFailed
    // when there is none or it does not fit 64 bits.
    [[nodiscard]] std::uint64_t enablePacketFilter() const;

    // Releases each distinct token once, ascending; returns those whose
    // release failed, ascending. Never throws for a failed release.
    [[nodiscard]] std::vector<std::uint64_t> releaseEnableTokens(const std::vector<std::uint64_t>& tokens) const;

    // Kills the states opened from the physical addresses. Without underlay
    // endpoints, every state of each address, in order; with them (Tailscale
    // mode), the host pairs that PrivilegedPFStateCleanupPlanner picks from
    // the state listing, whose errors pass unchanged. The first failed kill
    // is thrown.
    void killStates(const std::vector<std::string>& physicalAddresses,
                    const std::optional<std::vector<TailscaleUnderlayEndpoint>>& underlayEndpoints) const;

private:
    const Clock* clock_;  // not owned; a pointer, so that the control can be assigned
    double timeout_;
    std::int64_t maximumOutputBytes_;
};

// The enable reference in the output of `pfctl -E`: the digits of the first
// match of "Token\s*:\s*([0-9]+)" (\s as the system's regular expressions
// read it: the Unicode White_Space property), as an unsigned 64-bit integer;
// nothing without a match or when the digits do not fit.
[[nodiscard]] std::optional<std::uint64_t> packetFilterEnableToken(std::string_view output);

// Resolves a host name to the socket addresses of every family it has, as
// getaddrinfo answers; nothing when it cannot be resolved. Injected, so that
// tests never ask the machine's own resolver.
using EndpointResolver = std::function<std::optional<std::vector<sockaddr_storage>>(const std::string& host)>;

// The production resolver is resolveWithSystem (platform/host_resolution.hpp).

// The numeric addresses of the tunnel server. An IPv4 or IPv6 literal comes
// back as it is, without a lookup; a name goes to the resolver, and the
// printed numeric hosts of its IPv4 and IPv6 answers come back distinct and
// ascending as text. Throws PrivilegedRuntimeError endpointResolutionFailed
// when that leaves nothing.
[[nodiscard]] std::vector<std::string> resolveEndpointAddresses(const std::string& host,
                                                                const EndpointResolver& resolver = resolveWithSystem);

// The addresses of the named interface, or of every interface named "en"
// followed by digits when no name is given, distinct and ascending as text,
// without IPv6 scope suffixes. The interface's flags are not looked at. An
// interface list that cannot be read gives no addresses.
[[nodiscard]] std::vector<std::string> physicalInterfaceAddresses(const std::optional<std::string>& interfaceName);
// The same selection over a given interface list.
[[nodiscard]] std::vector<std::string> physicalInterfaceAddresses(
    const std::vector<NetworkInterfaces::InterfaceAddress>& list, const std::optional<std::string>& interfaceName);

}  // namespace tarnel
