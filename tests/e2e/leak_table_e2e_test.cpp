// The kill switch on real packets, through the helper program, in the
// namespaces of tunnel_topology.hpp. The client runs the helper over the
// enforcing pfctl stand-in, and the helper runs the stand-in runtime, whose
// tunnel (IPv4 only) ends at the tunnel server (endpoint 203.0.113.5:7000,
// resolver 172.19.0.2 behind it); the application's side is the client
// program of helper_harness.hpp. The internet host stands for any address on
// the internet and the LAN host for a resolver on the local network: each
// answers TCP and UDP with the source address it saw. Each probe is what a
// leak would use; the table gives, for each protection state, what the rule
// text lets out, and the "off" states are every probe's positive control.

#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <iomanip>
#include <iostream>
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
#include "tests/e2e/tunnel_topology.hpp"
#include "tests/support/build_products.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {
namespace {

// Runs every probe given (a JSON array of [kind, address, port, device or
// null]) at once, each on a thread of its own, and prints one line a probe in
// their order: "pass <what the peer answered>" or "block <why>". TCP: a
// refused connection has reached its host and passes. UDP: one DNS query,
// answered with the peer's text ("udp") or a DNS answer's address ("dns").
// ICMP: one echo request; the reply's destination address is printed. A
// device binds the socket to that interface: outside the tunnel.
constexpr const char* kProbe = R"(
import json, os, socket, struct, sys, threading, time
timeout, probes = float(sys.argv[1]), json.loads(sys.argv[2])
query = struct.pack('>HHHHHH', 7, 0x0100, 1, 0, 0, 0) + b'\x05probe\x04test\x00' + struct.pack('>HH', 1, 1)
def checksum(data):
    total = sum(struct.unpack('>%dH' % (len(data) // 2), data))
    total = (total >> 16) + (total & 0xffff)
    return ~(total + (total >> 16)) & 0xffff
def probe(kind, address, port, device):
    family = socket.AF_INET6 if ':' in address else socket.AF_INET
    kinds = {'tcp': (socket.SOCK_STREAM, 0), 'udp': (socket.SOCK_DGRAM, 0), 'dns': (socket.SOCK_DGRAM, 0),
             'icmp': (socket.SOCK_RAW, socket.IPPROTO_ICMP)}
    s = socket.socket(family, *kinds[kind])
    s.settimeout(timeout)
    if device: s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, device.encode())
    if kind == 'tcp':
        s.connect((address, port))
        return s.recv(64).decode()
    if kind != 'icmp':
        s.sendto(query, (address, port))
        answer = s.recv(512)
        return socket.inet_ntoa(answer[-4:]) if kind == 'dns' else answer.decode()
    ident = os.getpid() & 0xffff
    request = struct.pack('>BBHHH', 8, 0, 0, ident, 1) + b'leak-table'
    s.sendto(request[:2] + struct.pack('>H', checksum(request)) + request[4:], (address, 0))
    deadline = time.monotonic() + timeout
    while True:
        s.settimeout(max(deadline - time.monotonic(), 0.001))
        packet = s.recv(512)
        header = (packet[0] & 0x0f) * 4
        kind_, _, _, ident_, _ = struct.unpack('>BBHHH', packet[header:header + 8])
        if kind_ == 0 and ident_ == ident: return socket.inet_ntoa(packet[16:20])
def run(index, arguments):
    try:
        results[index] = 'pass ' + probe(*arguments)
    except ConnectionRefusedError:
        results[index] = 'pass refused'
    except Exception as e:
        results[index] = 'block ' + type(e).__name__
results = [None] * len(probes)
threads = [threading.Thread(target=run, args=item) for item in enumerate(probes)]
for thread in threads: thread.start()
for thread in threads: thread.join()
print('\n'.join(results))
)";

// Answers on every address (comma-separated) and port ("tcp:80", "udp:53")
// given with the source address of what arrived.
constexpr const char* kEchoSource = R"(
import selectors, socket, sys
selector = selectors.DefaultSelector()
for address in sys.argv[1].split(','):
    family = socket.AF_INET6 if ':' in address else socket.AF_INET
    for kind, port in (listener.split(':') for listener in sys.argv[2:]):
        s = socket.socket(family, socket.SOCK_STREAM if kind == 'tcp' else socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((address, int(port)))
        if kind == 'tcp': s.listen(16)
        selector.register(s, selectors.EVENT_READ, kind)
while True:
    for key, _ in selector.select():
        if key.data == 'tcp':
            c, peer = key.fileobj.accept(); c.sendall(peer[0].encode()); c.close()
        else:
            _, peer = key.fileobj.recvfrom(512); key.fileobj.sendto(peer[0].encode(), peer)
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

// The protection states, in the order the test goes through them.
enum State { off, offRuntime, connecting, active, leaseExpired, disconnected, stateCount };

// What a probe gives: the prefix of its line.
constexpr const char* D = "pass 203.0.113.1";     // arrived directly, with the client's own address
constexpr const char* D6 = "pass 2001:db8:1::1";  // the same over IPv6
constexpr const char* T = "pass 198.51.100.1";    // arrived through the tunnel, with the server's address
constexpr const char* L = "pass 192.168.50.1";    // reached the LAN host
constexpr const char* R = "pass 198.51.100.9";    // the tunnel's resolver answered
constexpr const char* X = "pass refused";         // reached a host where nothing listens
constexpr const char* B = "block";

struct Probe {
    const char* name;
    const char* kind;  // "tcp", "udp", "dns" or "icmp"
    const char* address;
    int port;
    const char* device;  // bound to this interface (outside the tunnel), or nullptr
    std::array<const char*, stateCount> expected;
};

// Each probe's line in the states off, offRuntime, connecting, active,
// leaseExpired and disconnected. Unprotected, the server is also the client's
// router: the tunnel's resolver (172.19.0.2) answers without a tunnel. The
// tunnel carries IPv4 only; what is bound to en0 goes around it.
constexpr std::array kProbes{
    Probe{"internet TCP, outside the tunnel", "tcp", "198.51.100.9", 80, "en0", {D, D, B, B, D, D}},
    Probe{"internet TCP, through the tunnel", "tcp", "198.51.100.9", 80, nullptr, {D, T, B, T, T, D}},
    Probe{"internet UDP, outside the tunnel", "udp", "198.51.100.9", 443, "en0", {D, D, B, B, D, D}},
    Probe{"internet ICMP echo, outside the tunnel", "icmp", "198.51.100.9", 0, "en0", {D, D, B, B, D, D}},
    Probe{"internet IPv6 TCP, outside the tunnel", "tcp", "2001:db8:2::9", 80, "en0", {D6, D6, B, B, D6, D6}},
    Probe{"internet on the endpoint's port", "tcp", "198.51.100.9", 7000, "en0", {D, D, B, B, D, D}},
    Probe{"the endpoint", "tcp", "203.0.113.5", 7000, nullptr, {X, X, X, X, X, X}},
    Probe{"the endpoint, another port", "tcp", "203.0.113.5", 80, nullptr, {X, X, B, B, X, X}},
    Probe{"LAN host", "tcp", "192.168.50.2", 80, nullptr, {L, L, L, L, L, L}},
    Probe{"LAN resolver, TCP 53", "tcp", "192.168.50.2", 53, nullptr, {L, L, B, B, L, L}},
    Probe{"LAN resolver, UDP 53", "udp", "192.168.50.2", 53, nullptr, {L, L, B, B, L, L}},
    Probe{"LAN resolver, TCP 853", "tcp", "192.168.50.2", 853, nullptr, {L, L, B, B, L, L}},
    Probe{"tunnel resolver 172.19.0.2", "dns", "172.19.0.2", 53, nullptr, {R, R, B, R, R, R}},
};

class LeakTable : public NamespaceTest {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped()) return;
        topology_.emplace();
        internetHost_.emplace(python(internet(), kEchoSource,
                                     {"198.51.100.9,2001:db8:2::9", "tcp:80", "udp:443", "tcp:7000"}));
        lanHost_.emplace(
            python(topology_->lan(), kEchoSource, {"192.168.50.2", "tcp:80", "tcp:53", "udp:53", "tcp:853"}));

        files::writeAtomically(directory_ / "config.json", tunnelConfiguration());
        helper_.emplace(client(), true);
        // What the client sends, readable once it gave up root.
        files::writeAtomically(helper_->base() / "config.json", tunnelConfiguration(), 0644);
        // Every listener answers before the first row.
        for (int attempt = 0; attempt < 50; ++attempt) {
            const std::vector<std::string> results = probeAll();
            bool answered = true;
            for (std::size_t index = 0; index < kProbes.size(); ++index) {
                answered = answered && results.at(index).starts_with(kProbes[index].expected[off]);
            }
            if (answered) break;
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

    // Runs every probe at once from the client; one line a probe, in order.
    // A blocked probe gives up after 3 s (an answer takes milliseconds).
    std::vector<std::string> probeAll() const {
        json::Value list = json::Value::array();
        for (const Probe& p : kProbes) {
            list.push_back(json::Value::array(
                {p.kind, p.address, p.port, p.device != nullptr ? json::Value(p.device) : json::Value()}));
        }
        const std::string output = client().run({"/usr/bin/python3", {"-c", kProbe, "3", list.dump()}}, 60.0).output;
        std::vector<std::string> lines;
        std::istringstream stream(output);
        for (std::string line; std::getline(stream, line);) lines.push_back(line);
        if (lines.size() != kProbes.size()) throw std::runtime_error("the probes printed: " + output);
        return lines;
    }

    // The runtime started in the client namespace; waits for its tunnel.
    void startRuntime() {
        ChildProcess::Options options;
        options.executable = buildProduct("standins/sing-box/sing-box");
        options.arguments = {"run", "-c", (directory_ / "config.json").string()};
        options.output = ChildProcess::Redirect::null();
        options.error = ChildProcess::Redirect::null();
        runtime_.emplace(client().launch(options));
        for (int attempt = 0; attempt < 100; ++attempt) {
            const auto route = client().ip({"route", "show", "0.0.0.0/1"});
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

    // Runs every probe; gives the cells that differ from the table's column
    // of `state`, and prints the row.
    std::string row(State state) const {
        static constexpr std::array<const char*, stateCount> names{
            "off", "off, runtime without kill switch", "connecting", "active", "lease expired", "after disconnect"};
        const std::vector<std::string> results = probeAll();
        std::ostringstream mismatches;
        std::cout << names.at(state) << "\n";
        for (std::size_t index = 0; index < kProbes.size(); ++index) {
            const Probe& p = kProbes[index];
            const std::string& actual = results[index];
            const std::string wanted = p.expected.at(state);
            const bool matches = actual.starts_with(wanted);
            std::cout << "  " << std::left << std::setw(40) << p.name << std::setw(26) << actual
                      << (matches ? "" : "  <-- expected " + wanted) << "\n";
            if (!matches) mismatches << names.at(state) << ": " << p.name << " gave \"" << actual << "\"; ";
        }
        return mismatches.str();
    }

    [[nodiscard]] const NetworkNamespace& client() const { return topology_->client(); }
    [[nodiscard]] const NetworkNamespace& internet() const { return topology_->internet(); }

    TemporaryDirectory directory_;
    std::optional<TunnelTopology> topology_;
    std::optional<ChildProcess> internetHost_;
    std::optional<ChildProcess> lanHost_;
    std::optional<ChildProcess> runtime_;
    std::optional<HelperHarness> helper_;
};

TEST_F(LeakTable, EveryProbeMatchesWhatTheRulesLetOutInEveryProtectionState) {
    if (IsSkipped()) return;
    std::string failures;

    // Off: the positive control of every probe; the one that needs a tunnel
    // is controlled with the runtime started directly, without the helper and
    // so without a kill switch.
    failures += row(off);
    startRuntime();
    failures += row(offRuntime);
    stopRuntime();

    // Connecting: the helper switched protection on, and the runtime never
    // brought its tunnel up (a runtime that makes no interface: the start
    // fails and leaves the kill switch on).
    helper_->startHelper({"TARNEL_STANDIN_FAULT=no-interface"});
    const Reply stalled = startTunnel();
    EXPECT_EQ(stalled.values.value("errorMessage", ""), "The tunnel interface did not appear during startup.");
    failures += row(connecting);

    // Active: a helper whose runtime works (the new helper's launch recovery
    // finds no tunnel and takes the old protection down) starts the tunnel
    // and promotes a fresh protection to it.
    helper_->stopHelper();
    helper_->startHelper();
    const Reply started = startTunnel();
    EXPECT_TRUE(started.has("processIdentifier")) << started.values.dump();
    failures += row(active);

    // Lease expired: the helper's watchdog takes the protection down; the
    // runtime itself still runs.
    EXPECT_TRUE(expireLease());
    failures += row(leaseExpired);

    // After disconnect: a fresh start, then the application's disconnect.
    const Reply restarted = startTunnel();
    EXPECT_TRUE(restarted.has("processIdentifier")) << restarted.values.dump();
    EXPECT_EQ(helper_->call("disconnectTunnelWithReply:").values, json::parse(R"({"ok":true})"));
    failures += row(disconnected);
    EXPECT_EQ(failures, "");
}

}  // namespace
}  // namespace tarnel::testing
