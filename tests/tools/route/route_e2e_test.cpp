#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/bounded_command_runner.hpp"
#include "common/error.hpp"
#include "common/helper_contract.hpp"
#include "common/json.hpp"
#include "common/network_namespace_check.hpp"
#include "common/system_tools.hpp"
#include "common/unique_fd.hpp"
#include "common/uuid.hpp"
#include "platform/runtime_host.hpp"
#include "tests/common/process_test_support.hpp"

namespace tarnel {
namespace {

// A network namespace of the test's own, removed at the end even when the
// test fails; the code under test runs on a thread that has entered it.
// Copied from tests/platform/tunnel_interfaces_e2e_test.cpp until the shared
// namespace harness exists in tests/support.
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

    // Runs `ip -n <namespace> <arguments>` and gives back its output.
    std::string ip(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"-n", name_});
        return run(arguments);
    }

    void addTunnel(const std::string& name, const std::string& address) {
        ip({"tuntap", "add", "dev", name, "mode", "tun"});
        ip({"addr", "add", address, "dev", name});
        ip({"link", "set", name, "up"});
    }

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
    static std::string run(const std::vector<std::string>& arguments) {
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
        return result.output;
    }

    static inline std::atomic<int> counter_ = 0;
    std::string name_;
    bool created_ = false;
};

class RouteToolE2E : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to create network namespaces and TUN interfaces";
    }
};

BoundedCommandResult runTool(const std::vector<std::string>& arguments) {
    return BoundedCommandRunner::run({TARNEL_ROUTE_TOOL, arguments}, 65536, testing::withinSeconds(30));
}

TEST_F(RouteToolE2E, TheQueryNamesTheTunnelInterfaceInTheMacOSForm) {
    NetworkNamespace space;
    space.addTunnel("utun5", "172.19.0.1/30");
    EXPECT_TRUE(space.inside([] { return runsOutsideHostNetworkNamespace(); }));
    const auto result = space.inside([] { return runTool({"-n", "get", "172.19.0.2"}); });
    EXPECT_EQ(result.terminationStatus, 0);
    EXPECT_EQ(result.output, "   route to: 172.19.0.2\n  interface: utun5\n");
    EXPECT_TRUE(PrivilegedHelperContract::routeOutputShowsInterface(result.output, "utun5"));
}

// The helper's DNS route step, through its own runner and the mapping of
// /sbin/route: the query shows the physical path, the add puts the host route
// on the tunnel, and the second query shows it.
TEST_F(RouteToolE2E, TheHelpersRouteStepPutsTheDNSAddressOnTheTunnel) {
    NetworkNamespace space;
    space.ip({"link", "add", "en0", "type", "veth", "peer", "name", "en0peer"});
    space.ip({"link", "set", "en0", "up"});
    space.ip({"link", "set", "en0peer", "up"});
    space.ip({"addr", "add", "10.9.0.1/24", "dev", "en0"});
    space.ip({"route", "add", "default", "via", "10.9.0.254", "dev", "en0"});
    space.addTunnel("utun5", "172.19.0.1/32");

    const SystemTools::ScopedMapping mapping(SystemTools::route, TARNEL_ROUTE_TOOL);
    const PrivilegedTunnelStartupControl control({Uuid::random(), SystemClock::shared().uptime() + 60, false},
                                                 [] { return false; });
    const auto route = [&](const std::vector<std::string>& arguments) {
        return space.inside([&] { return RuntimeHost::runRoute(arguments, control); });
    };
    const std::vector<std::string> query{"-n", "get", "172.19.0.2"};

    const auto before = route(query);
    EXPECT_EQ(before.terminationStatus, 0);
    EXPECT_EQ(before.output, "   route to: 172.19.0.2\n    gateway: 10.9.0.254\n  interface: en0\n");
    EXPECT_FALSE(PrivilegedHelperContract::routeOutputShowsInterface(before.output, "utun5"));

    const auto add = route(PrivilegedHelperContract::protectedDNSRouteArguments("utun5"));
    EXPECT_EQ(add.terminationStatus, 0);
    EXPECT_EQ(add.output, "add host 172.19.0.2: gateway utun5\n");

    const auto after = route(query);
    EXPECT_EQ(after.terminationStatus, 0);
    EXPECT_TRUE(PrivilegedHelperContract::routeOutputShowsInterface(after.output, "utun5"));
    const auto routes = json::parse(space.ip({"-j", "route", "get", "172.19.0.2"}), json::TopLevel::array);
    EXPECT_EQ(json::ObjectReader(routes.at(0)).string("dev"), "utun5");

    // The route exists now: a second add fails, as the system tool's does.
    EXPECT_EQ(route(PrivilegedHelperContract::protectedDNSRouteArguments("utun5")).terminationStatus, 1);
}

TEST_F(RouteToolE2E, AQueryWithoutARouteFails) {
    NetworkNamespace space;
    const auto result = space.inside([] { return runTool({"-n", "get", "172.19.0.2"}); });
    EXPECT_EQ(result.terminationStatus, 1);
    EXPECT_EQ(result.output, "");
}

}  // namespace
}  // namespace tarnel
