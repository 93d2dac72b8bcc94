#pragma once

// Network namespaces for tests that change interfaces, routes or packet
// filters: everything such a test changes lives in namespaces it made, never
// in the machine's own, and every namespace is removed when its object ends,
// also when the test fails.
//
//   TEST(Something, WorksInANamespace) {
//       TARNEL_SKIP_UNLESS_ROOT();
//       tarnel::testing::NetworkNamespace space;         // fresh, "lo" up
//       space.addVeth("10.200.0.1/24");                   // "en0", peer in the machine's namespace
//       space.addTunnel("utun5", "172.19.0.1/30");
//       auto found = space.inside([] { return RuntimeHost::activeTunnelInterfaces(); });
//       ChildProcess child = space.launch({.executable = "/usr/bin/env"});
//       auto routes = space.routes();
//   }
//
// Declare a child launched in a namespace after the namespace, so that the
// child is stopped first.

#include <unistd.h>

#include <gtest/gtest.h>

#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "common/process/bounded_command_runner.hpp"
#include "common/process/child_process.hpp"

// Skips the calling test with the reason unless it runs as root. GTEST_SKIP
// returns from the calling function: use it in a test body or in SetUp.
#define TARNEL_SKIP_UNLESS_ROOT()                                                                          \
    if (::geteuid() != 0)                                                                                  \
    GTEST_SKIP() << "needs root: only root makes network namespaces, veth pairs and TUN devices (the CI " \
                    "runs as root)"

namespace tarnel::testing {

// A fixture whose tests are skipped unless they run as root. A fixture that
// derives from it and has a SetUp of its own calls this one first and returns
// when IsSkipped().
class NamespaceTest : public ::testing::Test {
protected:
    void SetUp() override { TARNEL_SKIP_UNLESS_ROOT(); }
};

class NetworkNamespace;

// Where the peer of a veth end goes.
struct VethPeer {
    // Another namespace of the test; nothing: the machine's own namespace (the
    // peer is then removed with the namespace of the other end).
    const NetworkNamespace* space = nullptr;
    std::string name;                    // empty: a generated unique name
    std::optional<std::string> address;  // with its prefix, "10.200.0.2/24"
};

class NetworkNamespace {
public:
    // One interface of the namespace.
    struct Link {
        std::string name;
        bool up = false;                     // administratively up (IFF_UP)
        std::vector<std::string> addresses;  // "172.19.0.1/30", "fe80::1/64", ...
    };

    // One route as `ip -j route` gives it.
    struct Route {
        std::string destination;  // "default", "172.19.0.2", "10.200.0.0/24", ...
        std::string type = "unicast";
        std::optional<std::string> gateway;
        std::optional<std::string> device;
        std::optional<std::string> source;  // the preferred source address
        std::optional<std::string> table;   // only when read from several tables

        friend bool operator==(const Route&, const Route&) = default;
    };

    enum class Family { ipv4, ipv6 };

    // Makes a fresh namespace named "tarnel-ns-<pid>-<n>" with "lo" up. The
    // first one of a process runs removeStaleNamespaces(). Throws
    // std::runtime_error.
    NetworkNamespace();
    // Removes the machine-side veth peers, then the namespace. A failure is
    // reported as a test failure; nothing is thrown.
    ~NetworkNamespace();
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    [[nodiscard]] const std::string& name() const noexcept { return name_; }

    // Runs `ip -n <namespace> <arguments>` and gives its output; throws
    // std::runtime_error with the output when it fails.
    std::string ip(std::vector<std::string> arguments) const;

    // Creates a veth pair: `name` here, with `address` ("10.200.0.1/24") and up,
    // and its peer as `peer` says, up. Gives the peer's name.
    std::string addVeth(const std::string& address, const VethPeer& peer = VethPeer{},
                        const std::string& name = "en0");

    // Creates a persistent TUN device with the address and brings it up; it
    // goes with the namespace.
    void addTunnel(const std::string& name, const std::string& address);

    [[nodiscard]] std::vector<Link> links() const;
    [[nodiscard]] std::optional<Link> link(const std::string& name) const;

    // The routes of one table ("main", "local", "all", or a number).
    [[nodiscard]] std::vector<Route> routes(Family family = Family::ipv4, const std::string& table = "main") const;

    // Runs `body` on a thread that has entered the namespace and gives back
    // its result; what it throws is thrown here. Sockets and children made
    // there belong to the namespace; gtest assertions work there too.
    template <typename Body>
    auto inside(Body&& body) const -> std::invoke_result_t<Body&> {
        using Result = std::invoke_result_t<Body&>;
        std::exception_ptr failure;
        std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>> result{};
        std::thread([&] {
            try {
                enterOnThisThread();
                if constexpr (std::is_void_v<Result>) {
                    body();
                } else {
                    result.emplace(body());
                }
            } catch (...) {
                failure = std::current_exception();
            }
        }).join();
        if (failure) std::rethrow_exception(failure);
        if constexpr (!std::is_void_v<Result>) return std::move(*result);
    }

    // Starts a child process inside the namespace (ChildProcess::spawn from a
    // thread in it); the object stops it when it ends. Unlike `ip netns exec`,
    // nothing is remounted: the child's /sys still shows the machine's
    // interfaces, while netlink, getifaddrs and /proc/self/net show the
    // namespace's.
    [[nodiscard]] ChildProcess launch(const ChildProcess::Options& options) const;

    // Runs a tool inside the namespace through the bounded command runner,
    // standard output captured (up to 1 MiB); throws std::runtime_error after
    // `seconds`.
    BoundedCommandResult run(const BoundedCommandInvocation& invocation, double seconds = 10.0) const;

    // Removes the namespaces that this harness made in processes that are
    // gone (a test run that crashed could not remove its own).
    static void removeStaleNamespaces();

private:
    void enterOnThisThread() const;

    std::string name_;
    std::vector<std::string> machinePeers_;
};

}  // namespace tarnel::testing
