#pragma once

// The namespaces of the end-to-end tests that carry real traffic through the
// tunnel:
//
//   lan (192.168.50.2) --- en1  client  en0 (203.0.113.1, 2001:db8:1::1)
//     --- (203.0.113.5, 2001:db8:1::5) server (198.51.100.1, 2001:db8:2::1)
//     --- (198.51.100.9, 2001:db8:2::9) internet
//
// The client's default routes go through the server, which forwards between
// the client and the internet host and runs the tunnel server of the
// stand-in runtime: endpoint 203.0.113.5:7000, its end of the tunnel
// 172.19.0.2/30, where it answers every DNS query for an A record with
// 198.51.100.9. What leaves the tunnel reaches the internet host from
// 198.51.100.1. The LAN host stands for a host of the local network.

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/process/child_process.hpp"
#include "tests/support/build_products.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/process_lines.hpp"

namespace tarnel::testing {

class TunnelTopology {
public:
    // The tunnel server's endpoint, and what its resolver answers.
    static constexpr const char* kEndpointAddress = "203.0.113.5";
    static constexpr int kEndpointPort = 7000;
    static constexpr const char* kInternetAddress = "198.51.100.9";
    static constexpr const char* kServerAddress = "198.51.100.1";

    // Builds the namespaces and their links and starts the tunnel server; only
    // root can. Throws std::runtime_error.
    TunnelTopology() {
        client_.addVeth("203.0.113.1/24", VethPeer{&server_, "eth0", "203.0.113.5/24"});
        client_.addVeth("192.168.50.1/24", VethPeer{&lan_, "eth0", "192.168.50.2/24"}, "en1");
        server_.addVeth("198.51.100.1/24", VethPeer{&internet_, "eth0", "198.51.100.9/24"}, "eth1");
        // IPv6 on the same links; without duplicate address detection the
        // addresses are usable at once.
        client_.ip({"address", "add", "2001:db8:1::1/64", "dev", "en0", "nodad"});
        server_.ip({"address", "add", "2001:db8:1::5/64", "dev", "eth0", "nodad"});
        server_.ip({"address", "add", "2001:db8:2::1/64", "dev", "eth1", "nodad"});
        internet_.ip({"address", "add", "2001:db8:2::9/64", "dev", "eth0", "nodad"});
        client_.ip({"route", "add", "default", "via", "203.0.113.5"});
        client_.ip({"-6", "route", "add", "default", "via", "2001:db8:1::5"});
        internet_.ip({"route", "add", "203.0.113.0/24", "via", "198.51.100.1"});
        internet_.ip({"-6", "route", "add", "2001:db8:1::/64", "via", "2001:db8:2::1"});
        if (server_.run({"/usr/sbin/sysctl", {"-qw", "net.ipv4.ip_forward=1", "net.ipv6.conf.all.forwarding=1"}})
                .terminationStatus != 0) {
            throw std::runtime_error("the server namespace does not forward");
        }
        startTunnelServer();
    }

    // Starts the tunnel server again after stopTunnelServer (once it is
    // running, does nothing), and waits up to 10 s for its "ready" line, which
    // it writes once its end of the tunnel, its endpoint and its resolver are
    // in place.
    void startTunnelServer() {
        if (tunnelServer_) return;
        ChildProcess::Options server;
        server.executable = buildProduct("standins/tunnel-server/tunnel-server");
        server.arguments = {"--listen", "203.0.113.5:7000", "--tun-address", "172.19.0.2/30", "--dns-answer",
                            kInternetAddress};
        server.output = ChildProcess::Redirect::pipe();
        tunnelServer_.emplace(server_.launch(server));
        if (!ProcessLines(*tunnelServer_).readLine("tunnel-server: ready", std::chrono::seconds(10))) {
            throw std::runtime_error("the tunnel server did not get ready");
        }
    }
    // Stops the tunnel server: nothing answers at the endpoint until it
    // starts again.
    void stopTunnelServer() {
        if (tunnelServer_) tunnelServer_->stop(2.0, 2.0);
        tunnelServer_.reset();
    }

    [[nodiscard]] const NetworkNamespace& client() const { return client_; }
    [[nodiscard]] const NetworkNamespace& server() const { return server_; }
    [[nodiscard]] const NetworkNamespace& internet() const { return internet_; }
    [[nodiscard]] const NetworkNamespace& lan() const { return lan_; }

private:
    NetworkNamespace client_;
    NetworkNamespace server_;
    NetworkNamespace internet_;
    NetworkNamespace lan_;
    // After the namespaces: stopped before they go.
    std::optional<ChildProcess> tunnelServer_;
};

}  // namespace tarnel::testing
