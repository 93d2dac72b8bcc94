// The stand-in runtime carries a namespace's traffic: with auto_route its TUN
// takes the traffic, the endpoint and the exclusions keep the physical path,
// and the tunnel server forwards the packets with its own address.
//
//   client (en0 203.0.113.1) --- (eth0 203.0.113.5) server (eth1 198.51.100.1) --- (eth0 198.51.100.9) internet

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "common/process/child_process.hpp"
#include "tests/standins/sing_box_test_support.hpp"
#include "tests/support/build_products.hpp"
#include "tests/support/network_namespace.hpp"

namespace tarnel::testing {
namespace {

// Answers every TCP connection on 198.51.100.9:80 with the address it came from.
constexpr const char* kEchoSource =
    "import socket\n"
    "l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
    "l.bind(('198.51.100.9', 80)); l.listen(16)\n"
    "while True:\n"
    "    c, a = l.accept(); c.sendall(a[0].encode()); c.close()\n";

// One A query for "probe.test" to 172.19.0.2; prints the answer's address.
constexpr const char* kResolve =
    "import socket, struct\n"
    "q = struct.pack('>HHHHHH', 0x1234, 0x0100, 1, 0, 0, 0) + b'\\x05probe\\x04test\\x00' + struct.pack('>HH', 1, 1)\n"
    "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(3)\n"
    "s.sendto(q, ('172.19.0.2', 53)); r = s.recv(512)\n"
    "print(socket.inet_ntoa(r[-4:]))\n";

std::string configuration() {
    return R"({
  "inbounds": [{"type": "tun", "tag": "tarnel-tun", "address": ["172.19.0.1/30"], "auto_route": true,
                "route_exclude_address": ["203.0.113.5/32", "10.0.0.0/8", "192.168.0.0/16", "fc00::/7"]}],
  "outbounds": [{"type": "direct", "tag": "direct"},
                {"type": "vless", "tag": "proxy", "server": "203.0.113.5", "server_port": 7000}],
  "route": {"final": "proxy"}
})";
}

class PacketTunnel : public NamespaceTest {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped()) return;
        client_.emplace();
        server_.emplace();
        internet_.emplace();
        client_->addVeth("203.0.113.1/24", VethPeer{&*server_, "eth0", "203.0.113.5/24"});
        server_->addVeth("198.51.100.1/24", VethPeer{&*internet_, "eth0", "198.51.100.9/24"}, "eth1");
        client_->ip({"route", "add", "default", "via", "203.0.113.5"});
        internet_->ip({"route", "add", "203.0.113.0/24", "via", "198.51.100.1"});
        ASSERT_EQ(server_->run({"/usr/sbin/sysctl", {"-qw", "net.ipv4.ip_forward=1"}}).terminationStatus, 0);
        ChildProcess::Options echo;
        echo.executable = "/usr/bin/python3";
        echo.arguments = {"-c", kEchoSource};
        echoServer_.emplace(internet_->launch(echo));
    }

    // The source address the internet host saw, or nothing when no
    // connection was made within two seconds.
    std::optional<std::string> sourceSeenByTheInternet() const {
        for (int attempt = 0; attempt < 20; ++attempt) {
            const auto result = client_->run(
                {"/usr/bin/timeout", {"2", "/bin/bash", "-c", "exec 3<>/dev/tcp/198.51.100.9/80 && cat <&3"}});
            if (result.terminationStatus == 0) return result.output;
            ::usleep(100'000);  // the echo server may still be starting
        }
        return std::nullopt;
    }

    std::string deviceOfRouteTo(const std::string& address) const {
        const std::string route = client_->ip({"route", "get", address});
        const auto dev = route.find(" dev ");
        return route.substr(dev + 5, route.find(' ', dev + 5) - dev - 5);
    }

    std::optional<NetworkNamespace> client_;
    std::optional<NetworkNamespace> server_;
    std::optional<NetworkNamespace> internet_;
    std::optional<ChildProcess> echoServer_;
};

TEST_F(PacketTunnel, TrafficLeavesThroughTheTunnelServerWhileTheRuntimeRunsAndDirectlyOtherwise) {
    if (IsSkipped()) return;
    EXPECT_EQ(sourceSeenByTheInternet(), "203.0.113.1") << "the direct path, before the runtime";

    ChildProcess::Options options;
    options.executable = buildProduct("standins/tunnel-server/tunnel-server");
    options.arguments = {"--listen", "203.0.113.5:7000", "--tun-address", "172.19.0.2/30", "--dns-answer",
                         "198.51.100.9"};
    const TemporaryDirectory logs;
    const UniqueFd output(::open((logs / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    options.output = ChildProcess::Redirect::to(output.get());
    ChildProcess tunnelServer = server_->launch(options);
    for (int wait = 0; wait < 100 && files::readIfExists(logs / "out").value_or("").empty(); ++wait) ::usleep(50'000);
    ASSERT_EQ(files::readIfExists(logs / "out"), "tunnel-server: ready\n");
    {
        StandIn runtime(configuration(), "", &*client_);
        ASSERT_TRUE(runtime.waitForLine("tunnel: ")) << runtime.standardError();
        const std::string tunnel = deviceOfRouteTo("198.51.100.9");
        EXPECT_TRUE(tunnel.starts_with("utun")) << tunnel;
        EXPECT_EQ(deviceOfRouteTo("203.0.113.5"), "en0") << "the endpoint keeps the physical path";
        EXPECT_EQ(deviceOfRouteTo("10.1.2.3"), "en0") << "an exclusion keeps the physical path";

        EXPECT_EQ(sourceSeenByTheInternet(), "198.51.100.1") << "through the tunnel: the server's address";
        const auto answer = client_->run({"/usr/bin/python3", {"-c", kResolve}});
        EXPECT_EQ(answer.output, "198.51.100.9\n") << "the resolver at 172.19.0.2 answers through the tunnel";
        runtime.process().signal(SIGTERM);
        EXPECT_EQ(runtime.finish().terminationStatus(), 0) << runtime.standardError();
    }
    EXPECT_EQ(sourceSeenByTheInternet(), "203.0.113.1") << "direct again once the runtime stopped";
    EXPECT_EQ(deviceOfRouteTo("10.1.2.3"), "en0");
    EXPECT_EQ(client_->ip({"route", "show", "10.0.0.0/8"}), "") << "the exclusion routes went with the runtime";
}

TEST(TunnelServerOutsideANamespace, Refuses) {
    ChildProcess::Options options;
    options.executable = buildProduct("standins/tunnel-server/tunnel-server");
    options.arguments = {"--listen", "127.0.0.1:7000", "--tun-address", "172.19.0.2/30", "--dns-answer", "127.0.0.1"};
    options.error = ChildProcess::Redirect::null();
    ChildProcess child = ChildProcess::spawn(options);
    ASSERT_TRUE(child.waitForExit(30.0));
    EXPECT_EQ(child.exitStatus()->terminationStatus(), 2);
}

}  // namespace
}  // namespace tarnel::testing
