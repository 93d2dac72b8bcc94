// The helper client against scripted helpers over real sockets: the reply
// rules, the deadline windows, and calls that are lost on the way.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/tunnel/privileged_helper_client.hpp"
#include "common/base/error.hpp"
#include "tests/tunnel/fake_helper.hpp"

namespace tarnel::testing {
namespace {

using ipc::Dictionary;
namespace selector = Protocol::selector;

const Uuid kAttempt = *Uuid::parse("3F2504E0-4F89-11D3-9A0C-0305E82C3301");
const std::string kAttemptText = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";
const std::string kToken = "0B5E5A53-7C9E-4D52-8E2B-5F0A3C1D2E4F";

const std::string kInvalidReply = "The privileged helper returned an invalid response.";
const std::string kInvalidIdentity = "The privileged helper returned an invalid live process identity.";
const std::string kTimedOut = "The privileged helper did not respond in time.";
const std::string kInterrupted = "The privileged helper connection was interrupted.";
const std::string kClosed = "The privileged helper connection was closed.";
const std::string kUnavailable = "The privileged helper interface is unavailable.";
const std::string kInvalidRequest = "The privileged tunnel startup request is not valid.";

double now() { return SystemClock::shared().uptime(); }

// How a call ended: "success", or the error's module-qualified type and
// message.
std::string outcome(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return errorTypeName(error) + ": " + errorMessage(error);
    }
    return "success";
}
std::string clientError(const std::string& message) { return "TarnelDirect.PrivilegedHelperClientError: " + message; }

// The calls that check the helper first, each as the application makes it.
struct PreCheckedCall {
    const char* name;
    const char* selector;
    std::function<void(const PrivilegedHelperClient&)> call;
};
std::vector<PreCheckedCall> preCheckedCalls() {
    return {
        {"lease renewal", "renewTunnelProtectionLeaseWithReply:",
         [](const PrivilegedHelperClient& client) { client.renewTunnelProtectionLease(2.0); }},
        {"preparation", "prepareRuntimeWithAttemptIdentifier:deadlineUptime:withReply:",
         [](const PrivilegedHelperClient& client) { (void)client.prepareRuntime(kAttempt, now() + 45.0); }},
        {"start", "startTunnelWithConfiguration:tailscaleCompatibility:preparedRuntimeToken:attemptIdentifier:"
                  "deadlineUptime:withReply:",
         [](const PrivilegedHelperClient& client) {
             (void)client.startTunnel("{}", std::nullopt, kToken, kAttempt, now() + 12.0);
         }},
        {"stop for attempt", "stopTunnelForAttemptWithAttemptIdentifier:withReply:",
         [](const PrivilegedHelperClient& client) {
             (void)client.performVersionCheckedBooleanRequest(
                 PrivilegedHelperClient::requestStopTunnelForAttempt(kAttempt), 8.0);
         }},
        {"proxy enable", "enableSystemProxyWithServiceName:withReply:",
         [](const PrivilegedHelperClient& client) { client.enableSystemProxy("Wi-Fi", 8.0); }},
    };
}

TEST(PrivilegedHelperClient, PreCheckPassesOnlyAHelperOfItsVersionWithALiveProcess) {
    const Dictionary live{{"version", std::int64_t{35}}, {"processIdentifier", kFakeHelperPid}};
    const struct {
        Dictionary version;
        Dictionary identity;
        std::string error;
        std::vector<std::string> sent;
    } cases[] = {
        {{{"version", std::int64_t{34}}}, live,
         clientError("The privileged helper is incompatible (expected version 35, received 34)."),
         {"protocolVersionWithReply:"}},
        {{}, live, clientError("The privileged helper is incompatible (expected version 35, received 0)."),
         {"protocolVersionWithReply:"}},
        {{{"version", std::int64_t{35}}, {"error", std::string("busy")}}, live, clientError("busy"),
         {"protocolVersionWithReply:"}},
        {{{"version", std::string("35")}}, live, clientError(kInvalidReply), {"protocolVersionWithReply:"}},
        {{{"version", std::int64_t{35}}},
         {{"version", std::int64_t{35}}, {"processIdentifier", std::int64_t{0}}},
         clientError(kInvalidIdentity),
         {"protocolVersionWithReply:", "helperIdentityWithReply:"}},
        {{{"version", std::int64_t{35}}},
         {{"version", std::int64_t{35}}, {"processIdentifier", std::int64_t{-1}}},
         clientError(kInvalidIdentity),
         {"protocolVersionWithReply:", "helperIdentityWithReply:"}},
        {{{"version", std::int64_t{35}}},
         {{"version", std::int64_t{35}}, {"processIdentifier", std::int64_t{4294967296}}},
         clientError(kInvalidIdentity),
         {"protocolVersionWithReply:", "helperIdentityWithReply:"}},
        {{{"version", std::int64_t{35}}},
         {{"version", std::int64_t{36}}, {"processIdentifier", std::int64_t{7}}},
         clientError("The privileged helper is incompatible (expected version 35, received 36)."),
         {"protocolVersionWithReply:", "helperIdentityWithReply:"}},
    };
    for (const auto& call : preCheckedCalls()) {
        for (const auto& check : cases) {
            SCOPED_TRACE(std::string(call.name) + ": " + check.error);
            FakeHelper helper;
            helper.answer(selector::protocolVersion, Answer::reply(check.version));
            helper.answer(selector::helperIdentity, Answer::reply(check.identity));
            EXPECT_EQ(outcome([&] { call.call(PrivilegedHelperClient(helper.endpoint())); }), check.error);
            // The request never went out, and nothing was cancelled.
            EXPECT_EQ(helper.selectors(), std::vector<std::vector<std::string>>{check.sent});
        }
    }
}

TEST(PrivilegedHelperClient, SendsThePreCheckAndTheRequestOnOneConnection) {
    for (const auto& call : preCheckedCalls()) {
        SCOPED_TRACE(call.name);
        FakeHelper helper;
        helper.answer(call.selector, Answer::close());
        (void)outcome([&] { call.call(PrivilegedHelperClient(helper.endpoint())); });
        ASSERT_FALSE(helper.selectors().empty());
        EXPECT_EQ(helper.selectors()[0], (std::vector<std::string>{"protocolVersionWithReply:",
                                                                   "helperIdentityWithReply:", call.selector}));
    }
}

TEST(PrivilegedHelperClient, AcceptsOnlyATrueAcknowledgement) {
    const struct {
        Dictionary reply;
        std::string outcome;
    } cases[] = {
        {{{"ok", false}}, clientError(kInvalidReply)},
        {{{"ok", false}, {"error", std::string("t")}}, clientError("t")},
        {{{"ok", true}, {"error", std::string("t")}}, clientError("t")},
        {{{"error", std::string("")}}, clientError("")},
        {{{"ok", true}}, "success"},
        {{}, clientError(kInvalidReply)},
        {{{"ok", std::int64_t{1}}}, clientError(kInvalidReply)},
        {{{"ok", true}, {"error", ipc::Data("t")}}, clientError(kInvalidReply)},
    };
    for (const auto& [reply, expected] : cases) {
        SCOPED_TRACE(expected);
        FakeHelper helper;
        helper.answer(selector::renewTunnelProtectionLease, Answer::reply(reply));
        EXPECT_EQ(outcome([&] { PrivilegedHelperClient(helper.endpoint()).renewTunnelProtectionLease(2.0); }),
                  expected);
    }
}

TEST(PrivilegedHelperClient, SendsThePreCheckOnlyWhenAsked) {
    FakeHelper helper;
    for (const auto name : {selector::disconnectTunnel, selector::disableSystemProxy, selector::enableSystemProxy,
                            selector::renewTunnelProtectionLease, selector::stopTunnelForAttempt}) {
        helper.answer(name, Answer::reply({{"ok", true}}));
    }
    const PrivilegedHelperClient client(helper.endpoint());
    client.disconnectTunnel(8.0);
    client.disableSystemProxy(8.0);
    client.enableSystemProxy("Wi-Fi", 8.0, false);
    client.renewTunnelProtectionLease(2.0, false);
    client.performBooleanRequest(PrivilegedHelperClient::requestCancelTunnelStart(kAttempt), 0.75);
    client.disconnectTunnel(8.0, true);
    const std::vector<std::string> preCheck{"protocolVersionWithReply:", "helperIdentityWithReply:"};
    const auto withPreCheck = [&](std::string_view name) {
        auto names = preCheck;
        names.emplace_back(name);
        return names;
    };
    EXPECT_EQ(helper.selectors(), (std::vector<std::vector<std::string>>{
                                      {"disconnectTunnelWithReply:"},
                                      {"disableSystemProxyWithReply:"},
                                      {"enableSystemProxyWithServiceName:withReply:"},
                                      {"renewTunnelProtectionLeaseWithReply:"},
                                      {"cancelTunnelStartWithAttemptIdentifier:withReply:"},
                                      withPreCheck("disconnectTunnelWithReply:"),
                                  }));
    EXPECT_EQ(helper.connections()[2][0].request.arguments, (Dictionary{{"serviceName", std::string("Wi-Fi")}}));
    EXPECT_EQ(helper.connections()[4][0].request.arguments, (Dictionary{{"attemptIdentifier", kAttemptText}}));
}

TEST(PrivilegedHelperClient, ReadsStatusProtectionAndStopForAttempt) {
    FakeHelper helper;
    const PrivilegedHelperClient client(helper.endpoint());
    const auto status = [&](Dictionary reply) {
        helper.answer(selector::tunnelStatus, Answer::reply(std::move(reply)));
        std::optional<std::int32_t> process;
        const std::string ended = outcome([&] { process = client.tunnelStatus(2.0); });
        return ended == "success" ? (process ? std::to_string(*process) : "no process") : ended;
    };
    EXPECT_EQ(status({}), "no process");
    EXPECT_EQ(status({{"processIdentifier", std::int64_t{77}}}), "77");
    EXPECT_EQ(status({{"processIdentifier", std::int64_t{77}}, {"error", std::string("e")}}), clientError("e"));
    EXPECT_EQ(status({{"processIdentifier", std::int64_t{4294967296}}}), clientError(kInvalidReply));
    EXPECT_EQ(status({{"processIdentifier", 77.0}}), clientError(kInvalidReply));

    for (const bool active : {false, true}) {
        helper.answer(selector::tunnelProtectionStatus, Answer::reply({{"active", active}}));
        EXPECT_EQ(client.tunnelProtectionStatus(2.0), active);
    }
    helper.answer(selector::tunnelProtectionStatus, Answer::reply({}));
    EXPECT_EQ(outcome([&] { (void)client.tunnelProtectionStatus(2.0); }), clientError(kInvalidReply));

    const auto stop = PrivilegedHelperClient::requestStopTunnelForAttempt(kAttempt);
    for (const bool stopped : {false, true}) {
        helper.answer(selector::stopTunnelForAttempt, Answer::reply({{"ok", stopped}}));
        EXPECT_EQ(client.performVersionCheckedBooleanRequest(stop, 8.0), stopped);
    }
    helper.answer(selector::stopTunnelForAttempt,
                  Answer::reply({{"ok", false}, {"error", std::string("The privileged tunnel state is corrupt.")}}));
    EXPECT_EQ(outcome([&] { (void)client.performVersionCheckedBooleanRequest(stop, 8.0); }),
              clientError("The privileged tunnel state is corrupt."));
    EXPECT_EQ(helper.connections().back().back().request.arguments,
              (Dictionary{{"attemptIdentifier", kAttemptText}}));

    helper.answer(selector::helperIdentity,
                  Answer::reply({{"version", std::int64_t{35}}, {"processIdentifier", std::int64_t{2147483647}}}));
    EXPECT_EQ(client.helperIdentity(2.0), (PrivilegedHelperIdentity{35, 2147483647}));
}

TEST(PrivilegedHelperClient, TakesOnlyACanonicalPreparedRuntimeToken) {
    const struct {
        Dictionary reply;
        std::string outcome;
    } cases[] = {
        {{{"token", kToken}}, "success"},
        {{{"token", std::string("0b5e5a53-7c9e-4d52-8e2b-5f0a3c1d2e4f")}}, clientError(kInvalidReply)},
        {{{"token", std::string("{" + kToken + "}")}}, clientError(kInvalidReply)},
        {{}, clientError(kInvalidReply)},
        {{{"token", kToken}, {"errorCode", std::string("cancelled")}}, "success"},
    };
    for (const auto& [reply, expected] : cases) {
        SCOPED_TRACE(expected);
        FakeHelper helper;
        helper.answer(selector::prepareRuntime, Answer::reply(reply));
        const double deadline = now() + 45.0;
        std::string token;
        EXPECT_EQ(outcome([&] { token = PrivilegedHelperClient(helper.endpoint()).prepareRuntime(kAttempt, deadline); }),
                  expected);
        if (expected == "success") {
            EXPECT_EQ(token, kToken);
        }
        EXPECT_EQ(helper.connections()[0].back().request.arguments,
                  (Dictionary{{"attemptIdentifier", kAttemptText}, {"deadlineUptime", deadline}}));
        EXPECT_EQ(helper.connections().size(), 1u);  // no cancel after an answer
    }
}

TEST(PrivilegedHelperClient, TurnsAFailedPreparationOrStartIntoTheApplicationsError) {
    const struct {
        std::optional<std::string> code;
        std::string outcome;
    } cases[] = {
        {"cancelled", "TarnelDirect.CancellationError: The operation was cancelled."},
        {"runtime_not_prepared", clientError("The signed tunnel runtime must be prepared again before connecting.")},
        {"runtime_preparation_deadline_exceeded",
         clientError("Preparing the signed tunnel runtime exceeded its deadline.")},
        {"tailscale_compatibility_unavailable",
         "TarnelDirect.TailscaleCompatibilityError: Tailscale is connected but did not provide compatibility state."},
        {"tailscale_compatibility_validation_failed",
         "TarnelDirect.TailscaleCompatibilityError: The installed Tailscale application could not be validated for "
         "safe compatibility."},
        {"Cancelled", clientError("m")},
        {std::nullopt, clientError("m")},
    };
    for (const bool start : {false, true}) {
        for (const auto& [code, expected] : cases) {
            SCOPED_TRACE((start ? "start " : "prepare ") + code.value_or("(none)"));
            FakeHelper helper;
            Dictionary reply{{"errorMessage", std::string("m")},
                             // A token or a process beside the message changes nothing.
                             {"token", kToken},
                             {"processIdentifier", std::int64_t{9}}};
            if (code) reply.emplace("errorCode", *code);
            helper.answer(start ? selector::startTunnel : selector::prepareRuntime, Answer::reply(reply));
            const PrivilegedHelperClient client(helper.endpoint());
            EXPECT_EQ(outcome([&] {
                          if (start) {
                              (void)client.startTunnel("{}", std::nullopt, kToken, kAttempt, now() + 12.0);
                          } else {
                              (void)client.prepareRuntime(kAttempt, now() + 45.0);
                          }
                      }),
                      expected);
            EXPECT_EQ(helper.connections().size(), 1u);  // a rejection is no lost call: no cancel
        }
    }
}

TEST(PrivilegedHelperClient, TakesTheRouteDeadlineOnlyWithinItsAllowance) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        bool withData;
        std::optional<double> routeDeadlineAfterD;  // nothing: absent
        std::optional<double> routeDeadlineItself;  // a fixed value instead
        bool withProcess;
        bool accepted;
    } cases[] = {
        {false, 0.0, std::nullopt, true, true},
        {false, 0.001, std::nullopt, true, false},
        {false, -0.001, std::nullopt, true, false},
        {false, 0.0, std::nullopt, false, false},
        {false, std::nullopt, std::nullopt, true, false},
        {true, 5.0, std::nullopt, true, true},
        {true, 0.0, std::nullopt, true, true},
        {true, 5.001, std::nullopt, true, false},
        {true, std::nullopt, nan, true, false},
        {true, std::nullopt, 0.0, true, false},
        {true, std::nullopt, -std::numeric_limits<double>::infinity(), true, false},
    };
    for (const auto& check : cases) {
        SCOPED_TRACE(::testing::Message() << "data " << check.withData << " +" << check.routeDeadlineAfterD.value_or(-1));
        FakeHelper helper;
        const double deadline = now() + 12.0;
        Dictionary reply;
        if (check.withProcess) reply.emplace("processIdentifier", std::int64_t{31337});
        if (check.routeDeadlineAfterD) reply.emplace("routeDeadline", deadline + *check.routeDeadlineAfterD);
        if (check.routeDeadlineItself) reply.emplace("routeDeadline", *check.routeDeadlineItself);
        helper.answer(selector::startTunnel, Answer::reply(reply));
        const std::optional<std::string> data = check.withData ? std::optional<std::string>(R"({"schema":2})") : std::nullopt;
        PrivilegedTunnelStartResult result;
        const std::string ended = outcome([&] {
            result = PrivilegedHelperClient(helper.endpoint()).startTunnel("{\"log\":{}}", data, kToken, kAttempt, deadline);
        });
        if (check.accepted) {
            EXPECT_EQ(ended, "success");
            EXPECT_EQ(result, (PrivilegedTunnelStartResult{31337, deadline + *check.routeDeadlineAfterD}));
        } else {
            EXPECT_EQ(ended, clientError(kInvalidReply));
        }
        Dictionary sent{{"configuration", ipc::Data("{\"log\":{}}")},
                        {"preparedRuntimeToken", kToken},
                        {"attemptIdentifier", kAttemptText},
                        {"deadlineUptime", deadline}};
        if (data) sent.emplace("tailscaleCompatibility", ipc::Data(*data));
        EXPECT_EQ(helper.connections()[0].back().request.arguments, sent);
    }
}

// Deadlines are judged on the endpoint's clock before anything is sent.
TEST(PrivilegedHelperClient, SendsAPreparationOrStartOnlyWithinItsWindow) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const FakeClock clock(1000.0);
    FakeHelper helper;
    helper.answer(selector::prepareRuntime, Answer::reply({{"token", kToken}}));
    helper.script(selector::startTunnel, [](const ipc::Request& request) {
        const bool withData = request.arguments.contains("tailscaleCompatibility");
        return Answer::reply({{"processIdentifier", std::int64_t{5}},
                              {"routeDeadline", ipc::numberOrZero(request.arguments, "deadlineUptime") +
                                                    (withData ? 5.0 : 0.0)}});
    });
    const PrivilegedHelperClient client(helper.endpoint(clock));
    const auto sent = [&](const std::function<void()>& call) {
        const std::size_t before = helper.connections().size();
        const std::string ended = outcome(call);
        const bool connected = helper.connections().size() != before;
        if (ended == "success" && connected) return std::string("sent");
        if (!connected) return ended;
        return "connected and " + ended;
    };
    const std::string refused = "TarnelDirect.PrivilegedHelperContractError: " + kInvalidRequest;

    EXPECT_EQ(sent([&] { (void)client.prepareRuntime(kAttempt, 1047.0); }), "sent");
    for (const double deadline : {1047.001, 1000.0, 999.0, nan, infinity, -infinity}) {
        SCOPED_TRACE(deadline);
        EXPECT_EQ(sent([&] { (void)client.prepareRuntime(kAttempt, deadline); }), refused);
    }

    const auto start = [&](double deadline, const std::optional<std::string>& data) {
        return sent([&] { (void)client.startTunnel("{}", data, kToken, kAttempt, deadline); });
    };
    EXPECT_EQ(start(1027.0, std::nullopt), "sent");
    EXPECT_EQ(start(1027.001, std::nullopt), refused);
    EXPECT_EQ(start(1000.0, std::nullopt), refused);
    EXPECT_EQ(start(nan, std::nullopt), refused);
    EXPECT_EQ(start(1022.0, "{}"), "sent");
    EXPECT_EQ(start(1022.001, "{}"), refused);
    // Empty data is data: it travels, and it takes the Tailscale allowance.
    EXPECT_EQ(start(1022.0, ""), "sent");
    EXPECT_EQ(start(1022.001, ""), refused);
    EXPECT_EQ(helper.connections().back().back().request.arguments.at("tailscaleCompatibility"),
              ipc::Value(ipc::Data("")));
}

TEST(PrivilegedHelperClient, TakesAReplyFollowedAtOnceByACloseAsTheOutcome) {
    const RawHelper helper(ipc::encodeHello(), Dictionary{{"processIdentifier", std::int64_t{12}}});
    EXPECT_EQ(PrivilegedHelperClient(helper.endpoint()).tunnelStatus(2.0), 12);
}

TEST(PrivilegedHelperClient, ReportsAHelperThatIsNotThereOrNotTheHelper) {
    {
        TemporaryDirectory nothing;
        HelperEndpoint endpoint{nothing.path() / "helper.socket", ::geteuid(), &SystemClock::shared()};
        EXPECT_EQ(outcome([&] { (void)PrivilegedHelperClient(endpoint).tunnelStatus(2.0); }), clientError(kClosed));
    }
    {
        FakeHelper helper;
        helper.refuseConnections();
        EXPECT_EQ(outcome([&] { (void)PrivilegedHelperClient(helper.endpoint()).tunnelStatus(2.0); }),
                  clientError(kClosed));
    }
    {
        // A listener that does not run as the endpoint's user is never spoken to.
        FakeHelper helper;
        HelperEndpoint endpoint = helper.endpoint();
        endpoint.serviceUser = ::geteuid() + 1;
        EXPECT_EQ(outcome([&] { (void)PrivilegedHelperClient(endpoint).tunnelStatus(2.0); }), clientError(kClosed));
        EXPECT_EQ(helper.selectors(), std::vector<std::vector<std::string>>{});
    }
    {
        // A hello of another version of the channel.
        const std::vector<std::uint8_t> payload =
            nlohmann::json::to_cbor(nlohmann::json{{"kind", "hello"}, {"version", 2}});
        std::string frame{'\0', '\0', '\0', static_cast<char>(payload.size())};
        frame.append(payload.begin(), payload.end());
        const RawHelper helper(frame, std::nullopt);
        EXPECT_EQ(outcome([&] { (void)PrivilegedHelperClient(helper.endpoint()).tunnelStatus(2.0); }),
                  clientError(kUnavailable));
    }
    {
        // A request that the channel cannot carry is never sent.
        FakeHelper helper;
        EXPECT_EQ(outcome([&] { PrivilegedHelperClient(helper.endpoint()).enableSystemProxy("Wi\xff", 8.0); }),
                  clientError(kUnavailable));
        EXPECT_EQ(helper.selectors(), (std::vector<std::vector<std::string>>{
                                          {"protocolVersionWithReply:", "helperIdentityWithReply:"}}));
    }
}

// These waits are the behaviour itself, so they run on the real clock, with
// room for a slow machine.
TEST(PrivilegedHelperClient, GivesUpOnASilentHelperAtTheTimeout) {
    FakeHelper helper;
    helper.answer(selector::tunnelStatus, Answer::silence());
    const double began = now();
    EXPECT_EQ(outcome([&] { (void)PrivilegedHelperClient(helper.endpoint()).tunnelStatus(0.3); }),
              clientError(kTimedOut));
    const double waited = now() - began;
    EXPECT_GE(waited, 0.3);
    EXPECT_LE(waited, 0.8);
}

TEST(PrivilegedHelperClient, CancelsALostPreparationBeforeReportingIt) {
    FakeHelper helper;
    helper.answer(selector::prepareRuntime, Answer::silence());
    const double began = now();
    EXPECT_EQ(outcome([&] { (void)PrivilegedHelperClient(helper.endpoint()).prepareRuntime(kAttempt, began + 1.0); }),
              clientError(kTimedOut));
    const auto connections = helper.connections();
    ASSERT_EQ(connections.size(), 2u);
    ASSERT_EQ(connections[1].size(), 1u);
    const ReceivedRequest& cancel = connections[1][0];
    EXPECT_EQ(cancel.request, PrivilegedHelperClient::requestCancelTunnelStart(kAttempt));
    EXPECT_EQ(cancel.request.arguments.at("attemptIdentifier"), ipc::Value(kAttemptText));
    // The wait lasts one second past the deadline.
    EXPECT_GE(cancel.uptime - began, 1.95);
    EXPECT_LE(cancel.uptime - began, 2.6);
}

TEST(PrivilegedHelperClient, CancelsAStartWhoseConnectionBrokeBeforeReportingIt) {
    FakeHelper helper;
    helper.answer(selector::startTunnel, Answer::close());
    EXPECT_EQ(outcome([&] {
                  (void)PrivilegedHelperClient(helper.endpoint())
                      .startTunnel("{}", std::nullopt, kToken, kAttempt, now() + 12.0);
              }),
              clientError(kInterrupted));
    EXPECT_EQ(helper.selectors(),
              (std::vector<std::vector<std::string>>{
                  {"protocolVersionWithReply:", "helperIdentityWithReply:",
                   "startTunnelWithConfiguration:tailscaleCompatibility:preparedRuntimeToken:attemptIdentifier:"
                   "deadlineUptime:withReply:"},
                  {"cancelTunnelStartWithAttemptIdentifier:withReply:"}}));

    // A helper that is not there gets the cancel too, which changes nothing.
    helper.refuseConnections();
    EXPECT_EQ(outcome([&] { (void)PrivilegedHelperClient(helper.endpoint()).prepareRuntime(kAttempt, now() + 45.0); }),
              clientError(kClosed));
    EXPECT_EQ(helper.connections().size(), 4u);
}

}  // namespace
}  // namespace tarnel::testing
