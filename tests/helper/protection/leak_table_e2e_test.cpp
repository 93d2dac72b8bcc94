// The kill switch on real packets. Four namespaces:
//
//   lan (192.168.50.2) --- en1  client  en0 (203.0.113.1) --- (203.0.113.5) server (198.51.100.1) --- (198.51.100.9) internet
//
// The client runs the kill switch over the enforcing pfctl stand-in and the
// stand-in runtime, whose tunnel ends at the tunnel server (endpoint
// 203.0.113.5:7000, resolver 172.19.0.2 behind it). The internet host answers
// TCP on ports 80, 53 and 853 with the source address it saw. For each
// protection state, every probe is compared with what the rule text lets out;
// the "off" state is every probe's positive control.

#include <unistd.h>

#include <gtest/gtest.h>

#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/child_process.hpp"
#include "common/clock.hpp"
#include "common/files.hpp"
#include "common/system_tools.hpp"
#include "helper/protection/kill_switch_watchdog.hpp"
#include "helper/protection/packet_filter_kill_switch.hpp"
#include "helper/protection/system_dns_override.hpp"
#include "platform/boot_clock.hpp"
#include "platform/sysconfig/system_configuration.hpp"
#include "tests/support/build_products.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {
namespace {

// Prints "pass <what the peer sent>" or "block <why>". TCP: a refused
// connection has reached its host and passes. DNS: one A query over UDP.
constexpr const char* kProbe = R"(
import socket, struct, sys
kind, address, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
device = sys.argv[4] if len(sys.argv) > 4 else None
try:
    if kind == 'tcp':
        s = socket.socket()
        if device: s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, device.encode())
        s.settimeout(1.5); s.connect((address, port)); print('pass', s.recv(64).decode())
    else:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(1.5)
        if device: s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, device.encode())
        q = struct.pack('>HHHHHH', 7, 0x0100, 1, 0, 0, 0) + b'\x05probe\x04test\x00' + struct.pack('>HH', 1, 1)
        s.sendto(q, (address, port)); print('pass', socket.inet_ntoa(s.recv(512)[-4:]))
except ConnectionRefusedError:
    print('pass refused')
except Exception as e:
    print('block', type(e).__name__)
)";

constexpr const char* kEchoSource = R"(
import socket, selectors, sys
s = selectors.DefaultSelector()
for port in map(int, sys.argv[2:]):
    l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    l.bind((sys.argv[1], port)); l.listen(16); s.register(l, selectors.EVENT_READ)
while True:
    for key, _ in s.select():
        c, a = key.fileobj.accept(); c.sendall(a[0].encode()); c.close()
)";

constexpr const char* kRuntimeConfiguration = R"({
  "inbounds": [{"type": "tun", "tag": "tarnel-tun", "address": ["172.19.0.1/30"], "auto_route": true,
                "route_exclude_address": ["203.0.113.5/32", "10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16",
                                          "100.64.0.0/10", "169.254.0.0/16", "224.0.0.0/4", "255.255.255.255/32"]}],
  "outbounds": [{"type": "vless", "tag": "proxy", "server": "203.0.113.5", "server_port": 7000},
                {"type": "direct", "tag": "direct"}],
  "route": {"final": "proxy"}
})";

struct Probe {
    std::string name;
    std::string kind;  // "tcp" or "dns"
    std::string address;
    int port;
    std::optional<std::string> device;  // bound to this interface: outside the tunnel
};

const std::vector<Probe>& probes() {
    static const std::vector<Probe> list{
        {"internet, outside the tunnel", "tcp", "198.51.100.9", 80, "en0"},
        {"internet, through the tunnel", "tcp", "198.51.100.9", 80, std::nullopt},
        {"LAN host", "tcp", "192.168.50.2", 80, std::nullopt},
        {"DNS 53, outside the tunnel", "tcp", "198.51.100.9", 53, "en0"},
        {"DNS 853, outside the tunnel", "tcp", "198.51.100.9", 853, "en0"},
        {"DNS at 172.19.0.2", "dns", "172.19.0.2", 53, std::nullopt},
        {"the endpoint", "tcp", "203.0.113.5", 7000, std::nullopt},
    };
    return list;
}

class LeakTable : public NamespaceTest {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped()) return;
        client_.emplace();
        server_.emplace();
        internet_.emplace();
        lan_.emplace();
        client_->addVeth("203.0.113.1/24", VethPeer{&*server_, "eth0", "203.0.113.5/24"});
        client_->addVeth("192.168.50.1/24", VethPeer{&*lan_, "eth0", "192.168.50.2/24"}, "en1");
        server_->addVeth("198.51.100.1/24", VethPeer{&*internet_, "eth0", "198.51.100.9/24"}, "eth1");
        client_->ip({"route", "add", "default", "via", "203.0.113.5"});
        internet_->ip({"route", "add", "203.0.113.0/24", "via", "198.51.100.1"});
        ASSERT_EQ(server_->run({"/usr/sbin/sysctl", {"-qw", "net.ipv4.ip_forward=1"}}).terminationStatus, 0);
        internetHost_.emplace(python(*internet_, kEchoSource, {"198.51.100.9", "80", "53", "853"}));
        lanHost_.emplace(python(*lan_, kEchoSource, {"192.168.50.2", "80"}));

        ChildProcess::Options server;
        server.executable = buildProduct("standins/tunnel-server/tunnel-server");
        server.arguments = {"--listen", "203.0.113.5:7000", "--tun-address", "172.19.0.2/30", "--dns-answer",
                            "198.51.100.9"};
        server.output = ChildProcess::Redirect::null();
        tunnelServer_.emplace(server_->launch(server));

        files::writeAtomically(directory_ / "config.json", kRuntimeConfiguration);
        ::setenv("TARNEL_PFCTL_STATE_DIRECTORY", (directory_ / "pf").c_str(), 1);
        ::setenv("TARNEL_PFCTL_ENFORCE", "1", 1);
        std::filesystem::create_directories(directory_ / "pf");
        // Every listener answers before the first probe.
        for (int attempt = 0; attempt < 50 && !(probe(probes()[0]).starts_with("pass") &&
                                                probe(probes()[2]).starts_with("pass"));
             ++attempt) {
            ::usleep(100'000);
        }
    }
    void TearDown() override {
        ::unsetenv("TARNEL_PFCTL_STATE_DIRECTORY");
        ::unsetenv("TARNEL_PFCTL_ENFORCE");
    }

    static ChildProcess python(const NetworkNamespace& space, const char* program, std::vector<std::string> arguments) {
        ChildProcess::Options options;
        options.executable = "/usr/bin/python3";
        options.arguments = {"-c", program};
        options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
        options.output = ChildProcess::Redirect::null();
        return space.launch(options);
    }

    std::string probe(const Probe& probe) const {
        std::vector<std::string> arguments{"-c", kProbe, probe.kind, probe.address, std::to_string(probe.port)};
        if (probe.device) arguments.push_back(*probe.device);
        std::string output = client_->run({"/usr/bin/python3", arguments}, 10.0).output;
        while (!output.empty() && output.back() == '\n') output.pop_back();
        return output;
    }

    // The runtime started in the client namespace; waits for its tunnel.
    void startRuntime() {
        ChildProcess::Options options;
        options.executable = buildProduct("standins/sing-box/sing-box");
        options.arguments = {"run", "-c", (directory_ / "config.json").string()};
        options.output = ChildProcess::Redirect::null();
        options.error = ChildProcess::Redirect::null();
        runtime_.emplace(client_->launch(options));
        for (int attempt = 0; attempt < 100; ++attempt) {
            const auto route = client_->ip({"route", "show", "0.0.0.0/1"});
            if (route.find("utun0") != std::string::npos) return;
            ::usleep(50'000);
        }
        FAIL() << "the runtime's tunnel did not come up";
    }
    void stopRuntime() {
        if (runtime_) runtime_->stop(2.0, 2.0);
        runtime_.reset();
    }

    PacketFilterKillSwitch killSwitch() const {
        PacketFilterKillSwitch::Services services;
        services.wallClock = &wallClock_;
        return PacketFilterKillSwitch(directory_ / "runtime", dns_, std::move(services));
    }
    KillSwitchWatchdog::Configuration watchdog() {
        return {.makeKillSwitch = [this] { return killSwitch(); }, .stopTunnel = [this] { stopRuntime(); },
                .periodSeconds = 5.0};
    }

    // Runs every probe; gives the cells that differ from `expected` (probe
    // name → "pass ..." prefix or "block"), and prints the row.
    std::string row(const std::string& state, const std::map<std::string, std::string>& expected) const {
        std::ostringstream mismatches;
        std::cout << state << "\n";
        for (const Probe& p : probes()) {
            const std::string actual = probe(p);
            const std::string& wanted = expected.at(p.name);
            const bool matches = actual.starts_with(wanted);
            std::cout << "  " << std::left << std::setw(32) << p.name << std::setw(26) << actual
                      << (matches ? "" : "  <-- expected " + wanted) << "\n";
            if (!matches) mismatches << state << ": " << p.name << " gave \"" << actual << "\"; ";
        }
        return mismatches.str();
    }

    TemporaryDirectory directory_;
    SystemTools::ScopedMapping pfctl_{SystemTools::pfctl, buildProduct("standins/pfctl/pfctl")};
    FakeClock wallClock_{1000.0, SystemClock::shared().wallSeconds()};
    std::shared_ptr<SystemDNSOverride> dns_ = std::make_shared<SystemDNSOverride>(
        directory_ / "runtime", std::make_shared<sysconfig::MemorySystemConfiguration>());
    std::optional<NetworkNamespace> client_;
    std::optional<NetworkNamespace> server_;
    std::optional<NetworkNamespace> internet_;
    std::optional<NetworkNamespace> lan_;
    std::optional<ChildProcess> internetHost_;
    std::optional<ChildProcess> lanHost_;
    std::optional<ChildProcess> tunnelServer_;
    std::optional<ChildProcess> runtime_;
};

TEST_F(LeakTable, EveryProbeMatchesWhatTheRulesLetOutInEveryProtectionState) {
    if (IsSkipped()) return;
    const std::string direct = "pass 203.0.113.1";     // arrived with the client's own address
    const std::string tunnelled = "pass 198.51.100.1";  // arrived with the tunnel server's
    const std::string block = "block";
    // The tunnel's resolver answered (unprotected, the server is also the
    // client's router, so 172.19.0.2 is reachable without a tunnel).
    const std::string resolved = "pass 198.51.100.9";
    std::string failures;

    // Off: the positive control of every probe; the two that need a tunnel
    // are controlled with the runtime started directly, without a kill switch.
    failures += row("off", {{"internet, outside the tunnel", direct}, {"internet, through the tunnel", direct},
                            {"LAN host", "pass 192.168.50.1"}, {"DNS 53, outside the tunnel", direct},
                            {"DNS 853, outside the tunnel", direct}, {"DNS at 172.19.0.2", resolved},
                            {"the endpoint", "pass refused"}});
    startRuntime();
    failures += row("off, runtime without kill switch",
                    {{"internet, outside the tunnel", direct}, {"internet, through the tunnel", tunnelled},
                     {"LAN host", "pass 192.168.50.1"}, {"DNS 53, outside the tunnel", direct},
                     {"DNS 853, outside the tunnel", direct}, {"DNS at 172.19.0.2", resolved},
                     {"the endpoint", "pass refused"}});
    stopRuntime();

    // Connecting: protection on before the runtime has a tunnel.
    const PacketFilterKillSwitch::Policy policy{"203.0.113.5", 7000, "en0"};
    client_->inside([&] { killSwitch().activate(policy); });
    failures += row("connecting", {{"internet, outside the tunnel", block}, {"internet, through the tunnel", block},
                                   {"LAN host", "pass 192.168.50.1"}, {"DNS 53, outside the tunnel", block},
                                   {"DNS 853, outside the tunnel", block}, {"DNS at 172.19.0.2", block},
                                   {"the endpoint", "pass refused"}});

    // Active: the tunnel is up and promoted.
    startRuntime();
    client_->inside([&] { killSwitch().promote("utun0"); });
    failures += row("active", {{"internet, outside the tunnel", block}, {"internet, through the tunnel", tunnelled},
                               {"LAN host", "pass 192.168.50.1"}, {"DNS 53, outside the tunnel", block},
                               {"DNS 853, outside the tunnel", block}, {"DNS at 172.19.0.2", resolved},
                               {"the endpoint", "pass refused"}});

    // Lease expired: the watchdog's tick takes the protection down (the
    // runtime itself still runs).
    wallClock_.advance(PacketFilterKillSwitch::leaseSeconds + 1.0);
    client_->inside([&] { KillSwitchWatchdog::tick(watchdog()); });
    failures += row("lease expired", {{"internet, outside the tunnel", direct},
                                      {"internet, through the tunnel", tunnelled},
                                      {"LAN host", "pass 192.168.50.1"}, {"DNS 53, outside the tunnel", direct},
                                      {"DNS 853, outside the tunnel", direct}, {"DNS at 172.19.0.2", resolved},
                                      {"the endpoint", "pass refused"}});

    // After disconnect: a fresh protection, then the tunnel stopped and the
    // protection turned off.
    client_->inside([&] {
        killSwitch().activate(policy);
        killSwitch().promote("utun0");
    });
    stopRuntime();
    client_->inside([&] { killSwitch().deactivate(); });
    failures += row("after disconnect", {{"internet, outside the tunnel", direct},
                                         {"internet, through the tunnel", direct},
                                         {"LAN host", "pass 192.168.50.1"}, {"DNS 53, outside the tunnel", direct},
                                         {"DNS 853, outside the tunnel", direct}, {"DNS at 172.19.0.2", resolved},
                                         {"the endpoint", "pass refused"}});
    EXPECT_EQ(failures, "");
}

}  // namespace
}  // namespace tarnel::testing
