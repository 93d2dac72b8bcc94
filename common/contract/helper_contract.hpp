#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.hpp"
#include "common/base/uuid.hpp"

namespace tarnel {

// A tunnel start request as both programs see it. Deadlines are seconds of
// system uptime (CLOCK_MONOTONIC).
struct PrivilegedTunnelStartupRequest {
    Uuid attemptID;
    double deadlineUptime = 0.0;
    bool hasTailscaleCompatibility = false;

    friend bool operator==(const PrivilegedTunnelStartupRequest&, const PrivilegedTunnelStartupRequest&) = default;
};

struct PrivilegedRuntimePreparationRequest {
    Uuid attemptID;
    double deadlineUptime = 0.0;

    friend bool operator==(const PrivilegedRuntimePreparationRequest&,
                           const PrivilegedRuntimePreparationRequest&) = default;
};

// The status snapshot of a staged runtime file, taken when it is prepared and
// compared whenever it is reused.
struct PrivilegedPreparedRuntimeFileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::uint32_t mode = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint64_t linkCount = 0;
    std::int64_t modificationSeconds = 0;
    std::int64_t modificationNanoseconds = 0;
    std::int64_t statusChangeSeconds = 0;
    std::int64_t statusChangeNanoseconds = 0;

    friend bool operator==(const PrivilegedPreparedRuntimeFileIdentity&,
                           const PrivilegedPreparedRuntimeFileIdentity&) = default;
};

class PrivilegedHelperContractError final : public Error {
public:
    enum class Case { invalidConfiguration, invalidProxyService, invalidStartupRequest, startupRequestCapacityExceeded };

    explicit PrivilegedHelperContractError(Case errorCase) : case_(errorCase) {}
    static PrivilegedHelperContractError invalidConfiguration(std::string reason) {
        PrivilegedHelperContractError error(Case::invalidConfiguration);
        error.reason_ = std::move(reason);
        return error;
    }

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    // The reason of an invalid configuration; empty for the other cases.
    [[nodiscard]] const std::string& reason() const noexcept { return reason_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "PrivilegedHelperContractError"; }

    friend bool operator==(const PrivilegedHelperContractError& a, const PrivilegedHelperContractError& b) {
        return a.case_ == b.case_ && a.reason_ == b.reason_;
    }

private:
    Case case_;
    std::string reason_;
};

namespace PrivilegedHelperContract {

// The UUID of `text` only when `text` is exactly its canonical form: 36
// characters, upper-case hexadecimal, groups 8-4-4-4-12.
[[nodiscard]] std::optional<Uuid> parseCanonicalAttemptID(std::string_view text);

// Whether a file of the helper's runtime directory is a runtime copy that the
// cleanup may delete: exactly "sing-box", or "sing-box-" followed by a
// canonical attempt identifier (upper-case UUID). Every other name, a
// lower-case UUID or the hidden staging copies included, is not.
[[nodiscard]] bool isObsoleteRuntimeFileName(std::string_view fileName);

// Throws invalidStartupRequest unless `requested` is canonical; then answers
// whether it equals the recorded identifier (false when nothing is recorded).
[[nodiscard]] bool validateAttemptIdentifier(std::string_view requested, const std::optional<std::string>& recorded);

// True when the text holds a control or format character (Unicode general
// categories Cc and Cf). Text that is not well-formed UTF-8 counts as holding
// one, so that no undecodable byte passes a check built on this.
[[nodiscard]] bool containsControlCharacter(std::string_view text) noexcept;

// Refuses a network service name before it reaches a system tool or a state
// file: 1..128 UTF-8 bytes and no control or format character. Throws
// invalidProxyService.
void validateNetworkServiceName(std::string_view name);

// The tunnel's DNS address, reached through a host route on the tunnel
// interface.
inline constexpr std::string_view protectedDNSAddress = "172.19.0.2";

// Refuses a tunnel interface name that is not "utun" followed by ASCII digits
// (the whole text): throws invalidConfiguration("protected DNS tunnel
// interface is invalid").
void validateProtectedDNSInterface(std::string_view interfaceName);

// The arguments of the route tool that install the host route to the DNS
// address through the tunnel interface: -n add -host 172.19.0.2 -interface
// <name>. Checks the name first.
[[nodiscard]] std::vector<std::string> protectedDNSRouteArguments(std::string_view interfaceName);

// Whether the output of `route -n get 172.19.0.2` shows the route on the
// interface: some line, split at white space, is exactly the two words
// "interface:" and the name. Lines end at any of LF, VT, FF, CR, NEL, LINE
// SEPARATOR and PARAGRAPH SEPARATOR; white space is the tab and the Unicode
// space separators. Checks the name first (and throws before the output is
// read); output that cannot be read as text simply shows no interface.
[[nodiscard]] bool routeOutputShowsInterface(std::string_view output, std::string_view interfaceName);

}  // namespace PrivilegedHelperContract

}  // namespace tarnel
