// The helper's operations over a real socket: the selectors, the argument
// kinds and names, nil against empty values, and the reply values by name.

#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>

#include "common/base/clock.hpp"
#include "common/process/start_registry.hpp"
#include "helper/service/privileged_helper_protocol.hpp"
#include "platform/ipc/client.hpp"
#include "platform/ipc/ipc_error.hpp"
#include "platform/ipc/server.hpp"
#include "tests/helper/protection/pfctl_standin.hpp"
#include "tests/helper/runtime/privileged_runtime_test_support.hpp"

namespace tarnel::testing {
namespace {

namespace Protocol = PrivilegedHelperProtocol;
using ipc::Data;
using ipc::Dictionary;

const std::string kInvalidRequest = "The privileged tunnel startup request is not valid.";

// A service over the helper's protocol for every caller, on a clock at
// uptime 100, with a registry and lock of its own.
class HelperProtocol : public ::testing::Test {
protected:
    void SetUp() override {
        PrivilegedHelperService::Shared shared;
        shared.operationLock = &lock_;
        shared.registry = &registry_;
        shared.clock = &clock_;
        auto service = std::make_shared<const PrivilegedHelperService>(fixture_.runtime(), shared);
        server_.bind(socket_);
        server_.start([service](const ipc::PeerCredentials&) { return Protocol::handler(service); });
    }
    void TearDown() override { server_.stop(); }

    Dictionary call(std::string_view selector, Dictionary arguments = {}) {
        return ipc::call(socket_, ipc::Request{std::string(selector), std::move(arguments)},
                         SystemClock::shared().uptime() + 30.0);
    }
    bool registered(const std::string& attempt) {
        return registry_.entry(*Uuid::parse(attempt), clock_.uptime()).has_value();
    }

    FakeClock clock_{100.0};
    std::mutex lock_;
    PrivilegedTunnelStartRegistry registry_;
    RuntimeFixture fixture_;
    PfctlStandIn pf_{fixture_.directory().parent_path() / "pf"};
    std::filesystem::path socket_ = fixture_.directory().parent_path() / "sockets" / "helper.socket";
    ipc::Server server_{Protocol::interface()};
};

TEST_F(HelperProtocol, AnswersEachOperationWithItsNamedValues) {
    EXPECT_EQ(call(Protocol::selector::protocolVersion), (Dictionary{{"version", std::int64_t{35}}}));
    EXPECT_EQ(call(Protocol::selector::helperIdentity),
              (Dictionary{{"version", std::int64_t{35}}, {"processIdentifier", std::int64_t{::getpid()}}}));
    EXPECT_EQ(call(Protocol::selector::tunnelStatus), Dictionary{});
    EXPECT_EQ(call(Protocol::selector::tunnelProtectionStatus), (Dictionary{{"active", false}}));
    EXPECT_EQ(call(Protocol::selector::disconnectTunnel), (Dictionary{{"ok", true}}));
    EXPECT_EQ(call(Protocol::selector::stopTunnel), (Dictionary{{"ok", true}}));
    EXPECT_EQ(call(Protocol::selector::stopTunnelForAttempt), (Dictionary{{"ok", true}}));

    const std::string lower = "3f2504e0-4f89-11d3-9a0c-0305e82c3301";
    EXPECT_EQ(call(Protocol::selector::prepareRuntime, {{"attemptIdentifier", lower}, {"deadlineUptime", 110.0}}),
              (Dictionary{{"errorMessage", kInvalidRequest}}));
    EXPECT_EQ(call(Protocol::selector::cancelTunnelStart, {{"attemptIdentifier", lower}}), (Dictionary{{"ok", true}}));
    // A nil identifier is the empty text, a nil deadline 0: both refused.
    EXPECT_EQ(call(Protocol::selector::prepareRuntime), (Dictionary{{"errorMessage", kInvalidRequest}}));
    EXPECT_EQ(call(Protocol::selector::cancelTunnelStart), (Dictionary{{"ok", false}, {"error", kInvalidRequest}}));
    EXPECT_EQ(call(Protocol::selector::enableSystemProxy),
              (Dictionary{{"ok", false},
                          {"error", "The selected network service name is not valid."}}));
}

// Empty Tailscale data is data: it asks for the Tailscale allowance, which
// a nil value does not, so the same deadline passes without it and is
// refused with it.
TEST_F(HelperProtocol, EmptyTailscaleDataIsNotNil) {
    for (const bool withData : {false, true}) {
        const std::string attempt = Uuid::random().text();
        Dictionary arguments{{"configuration", Data("{}")},
                             {"preparedRuntimeToken", std::string("token")},
                             {"attemptIdentifier", attempt},
                             {"deadlineUptime", 122.5}};
        if (withData) arguments.emplace("tailscaleCompatibility", Data(""));
        const Dictionary reply = call(Protocol::selector::startTunnel, arguments);
        EXPECT_EQ(registered(attempt), !withData);
        EXPECT_EQ(reply.contains("errorMessage"), true);
        EXPECT_EQ(*ipc::find<std::string>(reply, "errorMessage") == kInvalidRequest, withData);
        EXPECT_FALSE(reply.contains("processIdentifier"));
    }
}

TEST_F(HelperProtocol, AnArgumentOfAnotherKindClosesTheConnectionWithoutAReply) {
    try {
        (void)call(Protocol::selector::startTunnel, {{"configuration", std::string("{}")}});
        FAIL() << "a text configuration was answered";
    } catch (const ipc::IPCError& error) {
        EXPECT_EQ(error.errorCase(), ipc::IPCError::Case::interrupted);
    }
    EXPECT_EQ(call(Protocol::selector::protocolVersion), (Dictionary{{"version", std::int64_t{35}}}));
}

}  // namespace
}  // namespace tarnel::testing
