#include "app/tunnel/tunnel_health_probe.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "app/http/curl_http_client.hpp"
#include "common/base/ascii.hpp"
#include "common/base/error.hpp"
#include "common/base/ip_literal.hpp"
#include "common/base/unique_fd.hpp"
#include "common/base/url.hpp"
#include "common/base/uuid.hpp"
#include "common/process/child_process.hpp"
#include "platform/host_resolution.hpp"
#include "platform/network_interfaces.hpp"

namespace tarnel {

namespace {

#if defined(TARNEL_HTTP_ADDRESS_GUARD)
constexpr bool kGuarded = true;
#else
constexpr bool kGuarded = false;
#endif

// The longest single poll of a wait; the waits also end at once on events.
constexpr double kWaitSlice = 0.25;

// A time-out that is not a finite number (NaN, infinity) takes the floor too:
// no check may wait without a bound.
double flooredTimeout(double seconds) {
    return std::isfinite(seconds) && seconds > TunnelHealthProbe::kTimeoutFloor ? seconds
                                                                                : TunnelHealthProbe::kTimeoutFloor;
}

void signalDescriptor(int descriptor) noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto ignored = ::write(descriptor, &one, sizeof one);
}

UniqueFd newEventDescriptor() {
    UniqueFd descriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!descriptor) throw SystemError("eventfd", errno);
    return descriptor;
}

// A descriptor that turns readable once a stop is requested, so that every
// wait of a check can poll it beside what it waits for.
class StopDescriptor {
public:
    explicit StopDescriptor(const std::stop_token& stop)
        : descriptor_(newEventDescriptor()), callback_(stop, Signal{descriptor_.get()}) {}
    [[nodiscard]] int get() const noexcept { return descriptor_.get(); }

private:
    struct Signal {
        int descriptor;
        void operator()() const noexcept { signalDescriptor(descriptor); }
    };
    UniqueFd descriptor_;
    std::stop_callback<Signal> callback_;
};

enum class Wake { ready, stopped, deadline };

// Waits until one of `watched` is ready, the stop descriptor turns readable,
// or `deadline` passes on the clock; `watched` holds the events that came.
Wake waitUntil(std::vector<pollfd>& watched, int stopDescriptor, double deadline, const Clock& clock) {
    Wake wake = Wake::deadline;
    std::vector<pollfd> descriptors = watched;
    descriptors.push_back({stopDescriptor, POLLIN, 0});
    waitInSlices(deadline - clock.uptime(), clock, kWaitSlice, [&](int milliseconds) {
        for (auto& descriptor : descriptors) descriptor.revents = 0;
        if (::poll(descriptors.data(), descriptors.size(), milliseconds) <= 0) return false;
        if (descriptors.back().revents != 0) {
            wake = Wake::stopped;
            return true;
        }
        std::copy(descriptors.begin(), descriptors.end() - 1, watched.begin());
        wake = Wake::ready;
        return true;
    });
    return wake;
}

HttpAddressGuard guardFor(const std::vector<std::string>& allowedAddresses) {
    HttpClientSettings settings;
    settings.allowedAddresses = allowedAddresses;
    return HttpAddressGuard(settings);
}

}  // namespace

std::vector<std::string> SystemHostResolver::resolve(const std::string& host) const {
    std::vector<std::string> addresses;
    for (const auto& answer : resolveWithSystem(host).value_or(std::vector<sockaddr_storage>{})) {
        auto text = NetworkInterfaces::numericHostText(reinterpret_cast<const sockaddr*>(&answer));
        if (text && std::find(addresses.begin(), addresses.end(), *text) == addresses.end()) {
            addresses.push_back(std::move(*text));
        }
    }
    return addresses;
}

TunnelHealthProbe::TunnelHealthProbe(Services services, double timeout)
    : timeoutSeconds(timeout), services_(std::move(services)), guard_(guardFor(services_.allowedAddresses)) {
    if (!services_.resolver || !services_.http || services_.clock == nullptr) {
        throw std::invalid_argument("traffic checks need a resolver, an HTTP layer and a clock");
    }
}

TunnelHealthProbe TunnelHealthProbe::forApplication() {
    Services services;
    services.endpoints = DeploymentConfiguration::production().trafficChecks;
    services.resolver = std::make_shared<SystemHostResolver>();
    services.http = std::make_shared<CurlHttpClient>();
    return TunnelHealthProbe(std::move(services), kApplicationTimeout);
}

TunnelHealthProbe::Result TunnelHealthProbe::run(std::optional<double> timeout, std::stop_token stop) const {
    const double limit = flooredTimeout(timeout.value_or(timeoutSeconds));
    const Clock& clock = *services_.clock;
    const auto& endpoints = services_.endpoints;
    const auto timed = [&clock](TunnelHealthCheck& outcome, const auto& check) {
        const double start = clock.uptime();
        outcome.succeeded = check();
        outcome.durationSeconds = clock.uptime() - start;
    };

    Result result;
    const auto ipRoute = [&] {
        timed(result[0], [&] { return tcpConnects(endpoints.ipRouteAddress, limit, endpoints.ipRoutePort, stop); });
    };
    const auto dns = [&] {
        std::string host = Uuid::random().text();
        std::transform(host.begin(), host.end(), host.begin(), ascii::lower);
        host += ".1-1-1-1." + endpoints.wildcardDNSDomain;
        timed(result[1], [&] { return tcpConnects(host, limit, endpoints.wildcardDNSPort, stop); });
    };
    {
        // A check whose thread cannot be made stays failed, with no duration.
        std::optional<std::jthread> ipRouteThread;
        std::optional<std::jthread> dnsThread;
        ignoringFailure([&] { ipRouteThread.emplace(ipRoute); });
        ignoringFailure([&] { dnsThread.emplace(dns); });
        timed(result[2], [&] { return httpsCheck(limit, stop); });
    }
    return result;
}

std::vector<std::string> TunnelHealthProbe::failedCheckNames(const Result& checks) {
    std::vector<std::string> names;
    for (std::size_t index = 0; index < checks.size(); ++index) {
        if (!checks[index].succeeded) names.emplace_back(kCheckNames[index]);
    }
    return names;
}

std::string TunnelHealthProbe::failedCheckList(const Result& checks) {
    std::string text;
    for (const std::string& name : failedCheckNames(checks)) text += (text.empty() ? "" : ", ") + name;
    return text;
}

bool TunnelHealthProbe::tcpConnects(const std::string& host, double timeout, std::uint16_t port,
                                    std::stop_token stop) const {
    const Clock& clock = *services_.clock;
    try {
        const double deadline = clock.uptime() + flooredTimeout(timeout);
        const StopDescriptor stopDescriptor(stop);
        for (;;) {
            const double roundStart = clock.uptime();
            Attempt attempt = Attempt::waiting;
            if (isIPLiteral(host)) {
                attempt = connectAny({host}, port, deadline, stopDescriptor.get());
            } else {
                const auto answer = resolveWithin(host, deadline, stopDescriptor.get());
                if (!answer) return false;
                if (!answer->empty()) attempt = connectAny(*answer, port, deadline, stopDescriptor.get());
            }
            if (attempt != Attempt::waiting) return attempt == Attempt::connected;
            // Waiting: the next try 0.25 s after this one began, until the deadline.
            std::vector<pollfd> nothing;
            const double next = std::min(roundStart + kRetryInterval, deadline);
            if (waitUntil(nothing, stopDescriptor.get(), next, clock) == Wake::stopped) return false;
            if (!(clock.uptime() < deadline)) return false;
        }
    } catch (...) {
        return false;
    }
}

TunnelHealthProbe::Attempt TunnelHealthProbe::connectAny(const std::vector<std::string>& addresses,
                                                         std::uint16_t port, double deadline,
                                                         int stopDescriptor) const {
    std::vector<IPSocketAddress> targets;
    for (const auto& text : addresses) {
        const auto target = ipSocketAddress(text, port);
        if (!target) continue;
        // Test builds: an address the test did not allow fails the check
        // before any packet leaves.
        if (kGuarded && !guard_.mayConnect(reinterpret_cast<const sockaddr*>(&target->address), target->length)) {
            return Attempt::failed;
        }
        targets.push_back(*target);
    }
    std::vector<UniqueFd> pending;
    for (const auto& [address, length] : targets) {
        UniqueFd socket(::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!socket) return Attempt::failed;
        if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) {
            return Attempt::connected;
        }
        // Refused, unreachable and the like leave this address waiting.
        if (errno == EINPROGRESS) pending.push_back(std::move(socket));
    }
    while (!pending.empty()) {
        std::vector<pollfd> watched;
        for (const auto& socket : pending) watched.push_back({socket.get(), POLLOUT, 0});
        if (waitUntil(watched, stopDescriptor, deadline, *services_.clock) != Wake::ready) return Attempt::failed;
        for (std::size_t index = watched.size(); index-- > 0;) {
            if (watched[index].revents == 0) continue;
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(pending[index].get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
                return Attempt::connected;
            }
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(index));
        }
    }
    return Attempt::waiting;
}

std::optional<std::vector<std::string>> TunnelHealthProbe::resolveWithin(const std::string& host, double deadline,
                                                                         int stopDescriptor) const {
    // Shared with the worker, which may outlive this call (and the probe).
    struct Lookup {
        std::mutex mutex;
        std::vector<std::string> answer;
        UniqueFd done = newEventDescriptor();
    };
    const auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, resolver = services_.resolver, host] {
        std::vector<std::string> answer;
        ignoringFailure([&] { answer = resolver->resolve(host); });
        const std::lock_guard lock(lookup->mutex);
        lookup->answer = std::move(answer);
        signalDescriptor(lookup->done.get());
    }).detach();

    std::vector<pollfd> watched{{lookup->done.get(), POLLIN, 0}};
    if (waitUntil(watched, stopDescriptor, deadline, *services_.clock) != Wake::ready) return std::nullopt;
    const std::lock_guard lock(lookup->mutex);
    return lookup->answer;
}

bool TunnelHealthProbe::httpsCheck(double timeout, const std::stop_token& stop) const {
    const Clock& clock = *services_.clock;
    const auto& endpoints = services_.endpoints;
    try {
        const double deadline = clock.uptime() + timeout;
        // One lookup; its failure fails the check at once.
        std::string address = endpoints.traceHost;
        if (!isIPLiteral(address)) {
            const StopDescriptor stopDescriptor(stop);
            const auto answer = resolveWithin(endpoints.traceHost, deadline, stopDescriptor.get());
            if (!answer) return false;
            const auto usable = std::find_if(answer->begin(), answer->end(),
                                             [](const std::string& text) { return isIPLiteral(text); });
            if (usable == answer->end()) return false;
            address = *usable;
        }

        HttpRequest request;
        request.url = traceProbeURL(endpoints.traceHost, Uuid::random());
        if (!UrlComponents::parse(request.url)) return false;
        request.connectPins = {{endpoints.traceHost, 443, address, endpoints.tracePort}};
        request.followRedirects = false;
        // No status is 0: every answer ends once its head is in, its body unread.
        request.bodyOnlyForStatus = 0;
        request.timeoutSeconds = deadline - clock.uptime();
        if (!(request.timeoutSeconds > 0.0)) return false;
        const HttpResponse response = services_.http->perform(request, stop);
        return response.status >= 200 && response.status <= 399;
    } catch (...) {
        return false;
    }
}

}  // namespace tarnel
