#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "app/http/http_client.hpp"
#include "app/http/http_client_settings.hpp"
#include "app/tunnel/deployment_configuration.hpp"
#include "common/base/clock.hpp"

namespace tarnel {

// One traffic check's outcome; the duration is measured on the probe's clock,
// failures included.
struct TunnelHealthCheck {
    bool succeeded = false;
    double durationSeconds = 0.0;

    friend bool operator==(const TunnelHealthCheck&, const TunnelHealthCheck&) = default;
};

// Turns a host name into addresses. Blocking; the probe runs it on a worker
// of its own, so one that hangs never holds a check past its time-out.
class HostResolver {
public:
    virtual ~HostResolver() = default;
    // The addresses of `host` as IP literals, in the order to try them; none
    // when it does not resolve.
    [[nodiscard]] virtual std::vector<std::string> resolve(const std::string& host) const = 0;
};

// The system's resolver (getaddrinfo), answers distinct and in its order.
class SystemHostResolver final : public HostResolver {
public:
    [[nodiscard]] std::vector<std::string> resolve(const std::string& host) const override;
};

// Decides whether traffic really flows through the tunnel with three
// independent checks, run at the same time and each bounded by the same
// time-out T:
// - IP route: a TCP connection to the IP route address;
// - DNS: a TCP connection to "<random lower-case UUID>.1-1-1-1.<domain>",
//   which only a working resolver turns into an address;
// - HTTPS: one GET of the trace URL (a fresh upper-case UUID in its query),
//   the host pinned to the address its one lookup gave, no redirect followed,
//   no proxy, TLS verified; it passes on any status from 200 to 399.
// A connection that is refused or unreachable, or a name that does not
// resolve, is retried every 0.25 s until T; only a connection, or a failure
// that cannot change (no socket; in test builds an address outside loopback
// and the allowed ones), ends a TCP check sooner. Address literals are never
// resolved. A stop ends a run at once, its unfinished checks failed.
//
// A value: copies share the resolver and the HTTP layer. Safe to run from
// several threads at once.
class TunnelHealthProbe {
public:
    struct Services {
        TrafficCheckEndpoints endpoints;
        std::shared_ptr<const HostResolver> resolver;
        std::shared_ptr<const HttpClient> http;
        const Clock* clock = &SystemClock::shared();  // not owned
        // Test builds: addresses (IP literals) the TCP checks may reach besides
        // loopback, for servers in namespaces the test made.
        std::vector<std::string> allowedAddresses;
    };

    using Result = std::array<TunnelHealthCheck, 3>;  // IP route, DNS, HTTPS

    static constexpr double kApplicationTimeout = 4.0;
    // No check gets less, so that a zero or negative time-out cannot fail
    // every check at once.
    static constexpr double kTimeoutFloor = 0.05;
    static constexpr double kRetryInterval = 0.25;
    static constexpr std::array<std::string_view, 3> kCheckNames{"IP route", "DNS", "HTTPS"};

    // Throws std::invalid_argument when an allowed address is not an IP
    // literal or a service is missing.
    TunnelHealthProbe(Services services, double timeout);

    // The deployment's endpoints, the system resolver and a client of the
    // HTTP layer of its own; T = 4 s.
    [[nodiscard]] static TunnelHealthProbe forApplication();

    // The default time-out of each check, seconds.
    double timeoutSeconds;

    // Runs the three checks, each with `timeout` (else `timeoutSeconds`),
    // floored at 0.05 s (a time-out that is not a finite number counts as the
    // floor). Never throws: every failure is a failed check.
    [[nodiscard]] Result run(std::optional<double> timeout = std::nullopt, std::stop_token stop = {}) const;

    // "IP route", "DNS", "HTTPS" for the checks that failed, in that order.
    [[nodiscard]] static std::vector<std::string> failedCheckNames(const Result& checks);
    // Those names joined by ", " ("IP route, HTTPS"), as the log lines name them.
    [[nodiscard]] static std::string failedCheckList(const Result& checks);

    // True once a TCP connection to `host`:`port` is made within `timeout`
    // (floored like a run's); a name is resolved through the resolver.
    [[nodiscard]] bool tcpConnects(const std::string& host, double timeout, std::uint16_t port = 443,
                                   std::stop_token stop = {}) const;

private:
    enum class Attempt { connected, waiting, failed };

    [[nodiscard]] bool httpsCheck(double timeout, const std::stop_token& stop) const;
    [[nodiscard]] Attempt connectAny(const std::vector<std::string>& addresses, std::uint16_t port, double deadline,
                                     int stopDescriptor) const;
    // The resolver's answer, asked on a worker: nothing when the deadline or
    // a stop comes first.
    [[nodiscard]] std::optional<std::vector<std::string>> resolveWithin(const std::string& host, double deadline,
                                                                        int stopDescriptor) const;

    Services services_;
    HttpAddressGuard guard_;
};

}  // namespace tarnel
