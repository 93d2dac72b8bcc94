// The kill switch on real packets, through the helper program. Four
// namespaces:
//
//   lan (192.168.50.2) --- en1  client  en0 (203.0.113.1) --- (203.0.113.5) server (198.51.100.1) --- (198.51.100.9) internet
//
// The client runs the helper over the enforcing pfctl stand-in, and the
// helper runs the stand-in runtime, whose tunnel ends at the tunnel server
// (endpoint 203.0.113.5:7000, resolver 172.19.0.2 behind it); the
// application's side is the client program of helper_harness.hpp. The
// internet host answers TCP on ports 80, 53 and 853 with the source address
// it saw. For each protection state, every probe is compared with what the
// rule text lets out; the "off" state is every probe's positive control.

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

#include "common/base/clock.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/base/uuid.hpp"
#include "common/process/child_process.hpp"
#include "helper/protection/packet_filter_kill_switch.hpp"
#include "tests/e2e/helper_harness.hpp"
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

// The configuration the application would send for a route to the tunnel
// server: the pinned-interface fixture pointed at 203.0.113.5:7000.
std::string tunnelConfiguration() {
    std::string text = readFixture("tunnel-config/plain-pinned-interface.json");
    const auto replace = [&](const std::string& from, const std::string& to) {
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
            text.replace(at, from.size(), to);
        }
    };
    replace("198.51.100.7", "203.0.113.5");
    replace("\"server_port\" : 443", "\"server_port\" : 7000");
    return text;
}

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

        files::writeAtomically(directory_ / "config.json", tunnelConfiguration());
        helper_.emplace(*client_, true);
        // What the client sends, readable once it gave up root.
        files::writeAtomically(helper_->base() / "config.json", tunnelConfiguration(), 0644);
        // Every listener answers before the first probe.
        for (int attempt = 0; attempt < 50 && !(probe(probes()[0]).starts_with("pass") &&
                                                probe(probes()[2]).starts_with("pass"));
             ++attempt) {
            ::usleep(100'000);
        }
    }
    void TearDown() override { helper_.reset(); }

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

    // Prepares the runtime and starts the tunnel through the helper, as the
    // application does; the start's reply.
    Reply startTunnel() const {
        const std::string attempt = Uuid::random().text();
        const Reply prepared = helper_->call("prepareRuntimeWithAttemptIdentifier:deadlineUptime:withReply:",
                                             {"attemptIdentifier=text:" + attempt,
                                              "deadlineUptime=number:" + std::to_string(now() + 40.0)});
        if (!prepared.has("token")) throw std::runtime_error("no runtime was prepared: " + prepared.values.dump());
        return helper_->call(kStartSelector, {"configuration=data-file:" + (helper_->base() / "config.json").string(),
                                              "preparedRuntimeToken=text:" + prepared.text("token"),
                                              "attemptIdentifier=text:" + attempt,
                                              "deadlineUptime=number:" + std::to_string(now() + 25.0)});
    }

    // Moves the kill switch's lease into the past, as time would, and waits
    // for the helper's watchdog to take the protection down.
    bool expireLease() const {
        const std::filesystem::path record = helper_->runtime() / PacketFilterKillSwitch::stateFileName;
        auto state = PacketFilterKillSwitch::State::decode(files::readIfExists(record).value_or(""));
        state.leaseExpiresAt = SystemClock::shared().wallSeconds() - 1.0;
        files::writeAtomically(record, state.encoded(), 0600);
        for (int poll = 0; poll < 200; ++poll) {
            if (!std::filesystem::exists(record) && helper_->pf().anchorRules().empty()) return true;
            ::usleep(50'000);
        }
        return false;
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
    std::optional<NetworkNamespace> client_;
    std::optional<NetworkNamespace> server_;
    std::optional<NetworkNamespace> internet_;
    std::optional<NetworkNamespace> lan_;
    std::optional<ChildProcess> internetHost_;
    std::optional<ChildProcess> lanHost_;
    std::optional<ChildProcess> tunnelServer_;
    std::optional<ChildProcess> runtime_;
    std::optional<HelperHarness> helper_;
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
    // are controlled with the runtime started directly, without the helper
    // and so without a kill switch.
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

    // Connecting: the helper switched protection on, and the runtime never
    // brought its tunnel up (a runtime that makes no interface: the start
    // fails and leaves the kill switch on).
    helper_->startHelper({"TARNEL_STANDIN_FAULT=no-interface"});
    const Reply stalled = startTunnel();
    EXPECT_EQ(stalled.values.value("errorMessage", ""), "The tunnel interface did not appear during startup.");
    failures += row("connecting", {{"internet, outside the tunnel", block}, {"internet, through the tunnel", block},
                                   {"LAN host", "pass 192.168.50.1"}, {"DNS 53, outside the tunnel", block},
                                   {"DNS 853, outside the tunnel", block}, {"DNS at 172.19.0.2", block},
                                   {"the endpoint", "pass refused"}});

    // Active: a helper whose runtime works (the new helper's launch recovery
    // finds no tunnel and takes the old protection down) starts the tunnel
    // and promotes a fresh protection to it.
    helper_->stopHelper();
    helper_->startHelper();
    const Reply started = startTunnel();
    EXPECT_TRUE(started.has("processIdentifier")) << started.values.dump();
    failures += row("active", {{"internet, outside the tunnel", block}, {"internet, through the tunnel", tunnelled},
                               {"LAN host", "pass 192.168.50.1"}, {"DNS 53, outside the tunnel", block},
                               {"DNS 853, outside the tunnel", block}, {"DNS at 172.19.0.2", resolved},
                               {"the endpoint", "pass refused"}});

    // Lease expired: the helper's watchdog takes the protection down; the
    // runtime itself still runs.
    EXPECT_TRUE(expireLease());
    failures += row("lease expired", {{"internet, outside the tunnel", direct},
                                      {"internet, through the tunnel", tunnelled},
                                      {"LAN host", "pass 192.168.50.1"}, {"DNS 53, outside the tunnel", direct},
                                      {"DNS 853, outside the tunnel", direct}, {"DNS at 172.19.0.2", resolved},
                                      {"the endpoint", "pass refused"}});

    // After disconnect: a fresh start, then the application's disconnect.
    const Reply restarted = startTunnel();
    EXPECT_TRUE(restarted.has("processIdentifier")) << restarted.values.dump();
    EXPECT_EQ(helper_->call("disconnectTunnelWithReply:").values, json::parse(R"({"ok":true})"));
    failures += row("after disconnect", {{"internet, outside the tunnel", direct},
                                         {"internet, through the tunnel", direct},
                                         {"LAN host", "pass 192.168.50.1"}, {"DNS 53, outside the tunnel", direct},
                                         {"DNS 853, outside the tunnel", direct}, {"DNS at 172.19.0.2", resolved},
                                         {"the endpoint", "pass refused"}});
    EXPECT_EQ(failures, "");
}

}  // namespace
}  // namespace tarnel::testing
