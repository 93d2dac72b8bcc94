#include "tests/support/network_namespace.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/base/error.hpp"
#include "common/base/unique_fd.hpp"
#include "common/process/child_process.hpp"
#include "platform/network_isolation.hpp"
#include "tests/common/process_test_support.hpp"

namespace tarnel::testing {
namespace {

using NetworkNamespaceE2E = NamespaceTest;

bool namespaceExists(const std::string& name) { return std::filesystem::exists("/run/netns/" + name); }

sockaddr_in ipv4(const char* address, std::uint16_t port) {
    sockaddr_in value{};
    value.sin_family = AF_INET;
    value.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &value.sin_addr);
    return value;
}

TEST_F(NetworkNamespaceE2E, IsFreshWithLoopbackUpAndGoesAwayEvenWhenTheTestFails) {
    std::string name;
    try {
        NetworkNamespace space;
        name = space.name();
        EXPECT_TRUE(namespaceExists(name));
        const auto links = space.links();
        ASSERT_EQ(links.size(), 1u);
        EXPECT_EQ(links[0].name, "lo");
        EXPECT_TRUE(links[0].up);
        EXPECT_NE(std::find(links[0].addresses.begin(), links[0].addresses.end(), "127.0.0.1/8"),
                  links[0].addresses.end());
        EXPECT_NE(space.inside([] { return NetworkIsolation::currentNamespace(); }),
                  NetworkIsolation::currentNamespace());
        throw std::runtime_error("the test body failed");
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "the test body failed");
    }
    EXPECT_FALSE(name.empty());
    EXPECT_FALSE(namespaceExists(name));
}

TEST_F(NetworkNamespaceE2E, VethPairConnectsTwoNamespacesAndRoutesAreRead) {
    NetworkNamespace client;
    NetworkNamespace server;
    const std::string peer =
        client.addVeth("10.200.0.1/24", {.space = &server, .name = "en0", .address = "10.200.0.2/24"});
    EXPECT_EQ(peer, "en0");
    const auto en0 = client.link("en0");
    ASSERT_TRUE(en0);
    EXPECT_TRUE(en0->up);
    EXPECT_EQ(en0->addresses.front(), "10.200.0.1/24");
    EXPECT_EQ(server.link("en0")->addresses.front(), "10.200.0.2/24");
    EXPECT_FALSE(client.link("en1"));

    const auto routes = client.routes();
    const NetworkNamespace::Route connected{"10.200.0.0/24", "unicast", std::nullopt,
                                           "en0", "10.200.0.1", std::nullopt};
    EXPECT_NE(std::find(routes.begin(), routes.end(), connected), routes.end());
    const auto local = client.routes(NetworkNamespace::Family::ipv4, "local");
    EXPECT_TRUE(std::any_of(local.begin(), local.end(), [](const auto& route) {
        return route.type == "local" && route.destination == "10.200.0.1";
    }));

    // A TCP connection from one namespace to the other, over the pair.
    const UniqueFd listener = server.inside([] {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in address = ipv4("10.200.0.2", 7070);
        if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd.get(), 1) != 0) {
            throw SystemError("listen", errno);
        }
        return fd;
    });
    client.inside([] {
        const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in address = ipv4("10.200.0.2", 7070);
        ASSERT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
            << std::strerror(errno);
        ASSERT_EQ(::send(fd.get(), "ping", 4, MSG_NOSIGNAL), 4);
    });
    const UniqueFd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    char received[4] = {};
    EXPECT_EQ(::recv(accepted.get(), received, sizeof received, MSG_WAITALL), 4);
    EXPECT_EQ(std::string(received, 4), "ping");
}

TEST_F(NetworkNamespaceE2E, VethPeerInTheMachineNamespaceIsRemovedWithTheNamespace) {
    std::string peer;
    {
        NetworkNamespace space;
        peer = space.addVeth("10.201.0.1/24");
        EXPECT_LE(peer.size(), 15u);
        EXPECT_TRUE(std::filesystem::exists("/sys/class/net/" + peer));
        EXPECT_TRUE(space.link("en0"));
    }
    EXPECT_FALSE(std::filesystem::exists("/sys/class/net/" + peer));
}

TEST_F(NetworkNamespaceE2E, TunnelDevicesAndTheirRoutes) {
    NetworkNamespace space;
    space.addTunnel("utun5", "172.19.0.1/30");
    space.ip({"route", "add", "172.19.0.2", "dev", "utun5"});
    const auto utun5 = space.link("utun5");
    ASSERT_TRUE(utun5);
    EXPECT_TRUE(utun5->up);
    EXPECT_EQ(utun5->addresses.front(), "172.19.0.1/30");
    const auto routes = space.routes();
    EXPECT_NE(std::find(routes.begin(), routes.end(),
                        NetworkNamespace::Route{"172.19.0.2", "unicast", std::nullopt, "utun5", std::nullopt,
                                                std::nullopt}),
              routes.end());
    EXPECT_THROW(space.ip({"link", "set", "utun99", "up"}), std::runtime_error);
}

TEST_F(NetworkNamespaceE2E, BodiesAndChildrenRunInsideAndFailuresComeBack) {
    NetworkNamespace space;
    const auto inner = space.inside([] { return NetworkIsolation::currentNamespace(); });
    ASSERT_TRUE(inner);
    const auto shown = space.run({"/bin/sh", {"-c", "readlink /proc/self/ns/net"}});
    EXPECT_EQ(shown.terminationStatus, 0);
    EXPECT_EQ(shown.output, *inner + "\n");

    ChildProcess::Options options;
    options.executable = "/bin/sh";
    options.arguments = {"-c", "readlink /proc/self/ns/net"};
    options.output = ChildProcess::Redirect::pipe();
    ChildProcess child = space.launch(options);
    child.waitForExit();
    std::string output(128, '\0');
    const ssize_t count = ::read(child.standardOutput().get(), output.data(), output.size());
    ASSERT_GT(count, 0);
    output.resize(static_cast<std::size_t>(count));
    EXPECT_EQ(output, *inner + "\n");

    EXPECT_THROW(space.inside([]() -> int { throw std::logic_error("inside"); }), std::logic_error);
    EXPECT_THROW(space.run({"/bin/sleep", {"5"}}, 0.2), std::runtime_error);
}

TEST_F(NetworkNamespaceE2E, StaleNamespacesOfGoneProcessesAreRemoved) {
    const pid_t gone = reapedProcessIdentifier();
    const std::string stale = "tarnel-ns-" + std::to_string(gone) + "-0";
    const std::string live = "tarnel-ns-" + std::to_string(::getpid()) + "-99999";
    NetworkNamespace space;  // the harness's own namespaces are live ones too
    ASSERT_EQ(std::system(("ip netns add " + stale + " && ip netns add " + live).c_str()), 0);
    NetworkNamespace::removeStaleNamespaces();
    const bool staleRemoved = !namespaceExists(stale);
    const bool liveKept = namespaceExists(live);
    const bool ownKept = namespaceExists(space.name());
    if (std::system(("ip netns del " + live).c_str()) != 0) ADD_FAILURE() << "could not remove " << live;
    if (!staleRemoved && std::system(("ip netns del " + stale).c_str()) != 0) {
        ADD_FAILURE() << "could not remove " << stale;
    }
    EXPECT_TRUE(staleRemoved);
    EXPECT_TRUE(liveKept);
    EXPECT_TRUE(ownKept);
}

}  // namespace
}  // namespace tarnel::testing
