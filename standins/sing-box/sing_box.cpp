#include "standins/sing-box/sing_box.hpp"

#include <signal.h>

#include <cerrno>
#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>

#include "common/base/clock.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/process/child_process.hpp"
#include "platform/network_isolation.hpp"
#include "standins/sing-box/configuration.hpp"
#include "standins/sing-box/faults.hpp"
#include "standins/sing-box/mixed_proxy.hpp"
#include "standins/sing-box/output.hpp"
#include "standins/sing-box/packet_tunnel.hpp"
#include "standins/sing-box/socket_address.hpp"
#include "standins/sing-box/tun_device.hpp"

namespace tarnel::standin {

namespace {

constexpr std::size_t kMaximumConfigurationSize = 16 * 1024 * 1024;

double uptime() { return SystemClock::shared().uptime(); }

std::optional<Configuration> readConfiguration(const std::string& path) {
    try {
        const auto text = files::readIfExists(path, kMaximumConfigurationSize);
        if (!text) {
            report("read config: " + SystemError("open " + path, ENOENT).message());
            return std::nullopt;
        }
        return parseConfiguration(*text);
    } catch (const SystemError& error) {
        report("read config: " + error.message());
    } catch (const Error& error) {
        // The JSON reader's and the configuration's own messages.
        report("decode config at " + path + ": " + error.message());
    }
    return std::nullopt;
}

// Creates the interfaces of every TUN inbound (two each with the
// "second-interface" fault). Every interface is configured before any is
// brought up, so that the two copies of the fault come up back to back and a
// watcher sees both at once. Throws SystemError.
void createInterfaces(const Configuration& configuration, const Faults& faults, std::vector<TunDevice>& devices,
                      std::vector<std::unique_ptr<PacketTunnel>>& tunnels) {
    struct Created {
        const TunInbound* inbound;
        std::string addresses;
        bool carriesTraffic;
    };
    std::vector<Created> created;
    const std::size_t first = devices.size();
    for (const TunInbound& inbound : configuration.tunInbounds) {
        for (int copy = 0; copy < (faults.secondInterface ? 2 : 1); ++copy) {
            TunDevice device = TunDevice::create();
            if (inbound.mtu) device.setMtu(*inbound.mtu);
            std::string addresses;
            for (const InterfacePrefix& prefix : inbound.addresses) {
                device.assign(prefix);
                addresses += (addresses.empty() ? "" : ", ") + prefix.text;
            }
            devices.push_back(std::move(device));
            created.push_back(Created{&inbound, std::move(addresses), copy == 0 && configuration.server});
        }
    }
    for (std::size_t index = first; index < devices.size(); ++index) devices[index].bringUp();
    for (std::size_t index = 0; index < created.size(); ++index) {
        const Created& entry = created[index];
        TunDevice& device = devices[first + index];
        report("tun[" + entry.inbound->tag + "]: " + device.name() + " up with " + entry.addresses);
        if (entry.carriesTraffic) {
            tunnels.push_back(
                std::make_unique<PacketTunnel>(*entry.inbound, device.name(), device.descriptor(), *configuration.server));
        }
    }
}

// What the main thread waits for after the start: a stop signal, the
// (delayed) listeners, the delayed interface, the delayed exit.
class Timeline {
public:
    Timeline(double start, const Faults& faults, const Configuration& configuration) {
        if (!configuration.mixedInbounds.empty()) listenAt_ = start + faults.listenDelayMilliseconds / 1000.0;
        if (!configuration.tunInbounds.empty() && !faults.noInterface) {
            interfaceAt_ = start + faults.interfaceDelayMilliseconds / 1000.0;
        }
        if (faults.exitCode && faults.exitAfterMilliseconds) exitAt_ = start + *faults.exitAfterMilliseconds / 1000.0;
    }
    [[nodiscard]] bool listenDue(double now) const { return listenAt_ && *listenAt_ <= now; }
    void listening() { listenAt_.reset(); }
    [[nodiscard]] bool interfaceDue(double now) const { return interfaceAt_ && *interfaceAt_ <= now; }
    void interfaceCreated() { interfaceAt_.reset(); }
    [[nodiscard]] bool exitDue(double now) const { return exitAt_ && *exitAt_ <= now; }
    // Seconds until the next event; nothing when none is pending.
    [[nodiscard]] std::optional<double> untilNext(double now) const {
        std::optional<double> next;
        for (const auto& at : {listenAt_, interfaceAt_, exitAt_}) {
            if (at && (!next || *at < *next)) next = *at;
        }
        if (!next) return std::nullopt;
        return std::max(0.0, *next - now);
    }

private:
    std::optional<double> listenAt_;
    std::optional<double> interfaceAt_;
    std::optional<double> exitAt_;
};

}  // namespace

int runSingBox(const std::vector<std::string>& arguments, const char* faultVariableText,
               const char* connectToVariableText) {
    // Stop signals are taken by sigtimedwait below. They are blocked first of
    // all, so that one arriving during the start is handled, not fatal.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    ignoreBrokenPipeSignals();

    if (arguments.size() != 3 || arguments[0] != "run" || arguments[1] != "-c" || arguments[2].empty()) {
        report("usage: sing-box run -c FILE");
        return usageExitStatus;
    }
    const std::string& path = arguments[2];

    Faults faults;
    try {
        faults = parseFaults(faultVariableText == nullptr ? "" : faultVariableText);
    } catch (const std::invalid_argument& error) {
        report("invalid " + std::string(faultVariable) + ": " + error.what());
        return usageExitStatus;
    }
    std::vector<ConnectMapping> mappings;
    try {
        mappings = parseConnectTo(connectToVariableText == nullptr ? "" : connectToVariableText);
    } catch (const std::invalid_argument& error) {
        report("invalid " + std::string(connectToVariable) + ": " + error.what());
        return usageExitStatus;
    }
    writeLine(1, "stand-in started");
    writeLine(2, "stand-in logging to standard error");
    const double start = uptime();

    // Faults meant for one server wait for the configuration that names it.
    std::optional<Configuration> configuration;
    if (faults.onlyServer) {
        configuration = readConfiguration(path);
        if (!configuration) return failureExitStatus;
        faults = faultsFor(faults, configuration->server ? std::optional(describe(*configuration->server))
                                                         : std::nullopt);
    }
    // A stop signal that came meanwhile is still pending (blocked): ignoring
    // the signal drops it.
    if (faults.ignoreTermination) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGTERM, &ignore, nullptr);
        ::sigaction(SIGINT, &ignore, nullptr);
        pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
        sigemptyset(&stopSignals);
    }
    if (faults.exitCode && !faults.exitAfterMilliseconds) return *faults.exitCode;

    if (!configuration) configuration = readConfiguration(path);
    if (!configuration) return failureExitStatus;

    const TargetPolicy policy{NetworkIsolation::inSeparateNamespace()};
    if (!configuration->tunInbounds.empty() && !policy.insideTestNamespace) {
        report("refusing to create a TUN interface in the machine's own network namespace");
        return failureExitStatus;
    }

    for (const MixedInbound& inbound : configuration->mixedInbounds) {
        if (!policy.permits(inbound.listen)) {
            report("refusing to listen on " + inbound.listenText +
                   " outside loopback in the machine's own network namespace");
            return failureExitStatus;
        }
    }

    std::vector<std::unique_ptr<MixedProxy>> proxies;
    std::vector<TunDevice> devices;
    std::vector<std::unique_ptr<PacketTunnel>> tunnels;  // after the devices: stopped first
    Timeline timeline(start, faults, *configuration);
    try {
        for (;;) {
            const double now = uptime();
            if (timeline.exitDue(now)) {
                report("exiting with status " + std::to_string(*faults.exitCode) + " (fault)");
                return *faults.exitCode;
            }
            if (timeline.listenDue(now)) {
                for (const MixedInbound& inbound : configuration->mixedInbounds) {
                    proxies.push_back(std::make_unique<MixedProxy>(inbound, policy, mappings));
                    report("mixed[" + inbound.tag + "]: listening on " + describe(proxies.back()->address()));
                }
                timeline.listening();
                continue;
            }
            if (timeline.interfaceDue(now)) {
                createInterfaces(*configuration, faults, devices, tunnels);
                timeline.interfaceCreated();
                continue;
            }
            const auto wait = timeline.untilNext(now);
            timespec timeout{};
            timeout.tv_sec = wait ? static_cast<time_t>(*wait) : 3600;
            timeout.tv_nsec = wait ? static_cast<long>(std::fmod(*wait, 1.0) * 1e9) : 0;
            siginfo_t info{};
            const int signal = ::sigtimedwait(&stopSignals, &info, &timeout);
            if (signal > 0) {
                report(std::string("stopping on ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
                return 0;
            }
        }
    } catch (const Error& error) {
        report(error.message());
        return failureExitStatus;
    }
}

}  // namespace tarnel::standin
