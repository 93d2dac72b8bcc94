#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <filesystem>
#include <thread>

#include "common/bounded_command_runner.hpp"
#include "common/error.hpp"
#include "common/runtime_error.hpp"
#include "common/unique_fd.hpp"
#include "platform/network_interfaces.hpp"
#include "platform/runtime_host.hpp"
#include "tests/common/process_test_support.hpp"

namespace tarnel {
namespace {

double now() { return SystemClock::shared().uptime(); }

// A network namespace of the test's own, removed at the end even when the
// test fails. Interfaces are made with iproute2; the code under test runs on
// a thread that has entered the namespace.
class NetworkNamespace {
public:
    NetworkNamespace() : name_("tarnel-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++)) {
        run({"netns", "add", name_});
        created_ = true;
    }
    ~NetworkNamespace() {
        if (created_) {
            try {
                run({"netns", "del", name_});
            } catch (const std::exception& error) {
                ADD_FAILURE() << "could not remove namespace " << name_ << ": " << error.what();
            }
        }
    }
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    // Runs `ip -n <namespace> <arguments>`.
    void ip(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"-n", name_});
        run(arguments);
    }

    void addTunnel(const std::string& name, const std::string& address) {
        ip({"tuntap", "add", "dev", name, "mode", "tun"});
        ip({"addr", "add", address, "dev", name});
        ip({"link", "set", name, "up"});
    }

    // Runs `body` on a thread inside the namespace and gives back its result.
    template <typename Body>
    auto inside(Body body) -> decltype(body()) {
        std::optional<decltype(body())> result;
        std::exception_ptr failure;
        std::thread([&] {
            try {
                const UniqueFd handle(::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC));
                if (!handle || ::setns(handle.get(), CLONE_NEWNET) != 0) throw SystemError("setns " + name_, errno);
                result.emplace(body());
            } catch (...) {
                failure = std::current_exception();
            }
        }).join();
        if (failure) std::rethrow_exception(failure);
        return std::move(*result);
    }

private:
    static void run(const std::vector<std::string>& arguments) {
        const std::string tool = std::filesystem::exists("/usr/sbin/ip") ? "/usr/sbin/ip" : "/sbin/ip";
        std::vector<std::string> shellArguments{tool};
        shellArguments.insert(shellArguments.end(), arguments.begin(), arguments.end());
        const auto result = BoundedCommandRunner::run(testing::shell("exec \"$0\" \"$@\" 2>&1", shellArguments), 65536,
                                                      testing::withinSeconds(10));
        if (result.terminationStatus != 0) {
            std::string command = tool;
            for (const auto& argument : arguments) command += " " + argument;
            throw std::runtime_error(command + " failed: " + result.output);
        }
    }

    static inline std::atomic<int> counter_ = 0;
    std::string name_;
    bool created_ = false;
};

class TunnelInterfacesE2E : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to create network namespaces and TUN interfaces";
        }
    }
};

TEST_F(TunnelInterfacesE2E, DiscoveryListsUpTunnelInterfacesCarryingTheTunnelAddress) {
    NetworkNamespace space;
    const auto discover = [&] { return space.inside([] { return RuntimeHost::activeTunnelInterfaces(); }); };
    EXPECT_TRUE(discover().empty());

    space.addTunnel("utun5", "172.19.0.1/30");
    EXPECT_EQ(discover(), std::set<std::string>{"utun5"});
    EXPECT_EQ(space.inside([] { return NetworkInterfaces::index("lo"); }), 1u);
    EXPECT_TRUE(space.inside([] { return NetworkInterfaces::index("utun5"); }));
    EXPECT_FALSE(space.inside([] { return NetworkInterfaces::index("utun99"); }));
    // The system reads the name up to a NUL byte: "utun5\0x" is no interface,
    // not utun5.
    EXPECT_FALSE(space.inside([] { return NetworkInterfaces::index(std::string("utun5\0x", 7)); }));
    // Not a tunnel name, or another address: not listed.
    space.addTunnel("utun7x", "172.19.0.1/30");
    space.addTunnel("utun6", "172.19.0.5/30");
    EXPECT_EQ(discover(), std::set<std::string>{"utun5"});

    space.ip({"link", "set", "utun5", "down"});
    EXPECT_TRUE(discover().empty());

    // Two tunnel interfaces with the address are both listed.
    space.ip({"link", "set", "utun5", "up"});
    space.addTunnel("utun8", "172.19.0.1/32");
    EXPECT_EQ(discover(), (std::set<std::string>{"utun5", "utun8"}));
}

TEST_F(TunnelInterfacesE2E, DisappearanceWaitEndsAtOnceWhenNoneExistsAndFailsWhenOneStays) {
    NetworkNamespace space;
    double took = space.inside([] {
        const double start = now();
        RuntimeHost::waitForTunnelInterfacesToDisappear();
        return now() - start;
    });
    EXPECT_LT(took, 0.1);

    space.addTunnel("utun5", "172.19.0.1/30");
    std::string message;
    took = space.inside([&] {
        const double start = now();
        try {
            RuntimeHost::waitForTunnelInterfacesToDisappear();
        } catch (const PrivilegedRuntimeError& error) {
            message = error.message();
        }
        return now() - start;
    });
    EXPECT_EQ(message, "The previous tunnel interface did not disappear during cleanup.");
    EXPECT_GE(took, 3.0);
    EXPECT_LT(took, 3.5);

    // Removed while the wait runs: the wait ends after the removal began, and
    // soon after.
    std::atomic<double> removing = 0.0;
    std::thread remover([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        removing = now();
        space.ip({"link", "del", "utun5"});
    });
    const double ended = space.inside([] {
        RuntimeHost::waitForTunnelInterfacesToDisappear();
        return now();
    });
    remover.join();
    EXPECT_GT(removing.load(), 0.0);
    EXPECT_GE(ended, removing.load());
    EXPECT_LT(ended - removing.load(), 0.5);
}

}  // namespace
}  // namespace tarnel
