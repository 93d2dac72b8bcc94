#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/base/json.hpp"
#include "helper/runtime/privileged_runtime.hpp"

namespace tarnel {
namespace {

using TunnelState = PrivilegedRuntime::TunnelState;

TEST(TunnelState, EncodesCompactlyWithOptionalKeysLeftOutWhenAbsent) {
    TunnelState state{4242, "/Library/Application Support/Tarnel Direct/sing-box-3F2504E0-4F89-11D3-9A0C-0305E82C3301",
                      18446744073709551615u, 990000, "3F2504E0-4F89-11D3-9A0C-0305E82C3301", "utun7"};
    EXPECT_EQ(state.encoded(),
              "{\"pid\":4242,\"executablePath\":\"/Library/Application Support/Tarnel Direct/"
              "sing-box-3F2504E0-4F89-11D3-9A0C-0305E82C3301\",\"startedAtSeconds\":18446744073709551615,"
              "\"startedAtMicroseconds\":990000,\"startupAttemptIdentifier\":\"3F2504E0-4F89-11D3-9A0C-0305E82C3301\","
              "\"tunnelInterface\":\"utun7\"}");
    EXPECT_EQ(TunnelState::decode(state.encoded()), state);

    state.startupAttemptIdentifier.reset();
    state.tunnelInterface.reset();
    state.pid = -2147483648;
    EXPECT_EQ(state.encoded(),
              "{\"pid\":-2147483648,\"executablePath\":\"/Library/Application Support/Tarnel Direct/"
              "sing-box-3F2504E0-4F89-11D3-9A0C-0305E82C3301\",\"startedAtSeconds\":18446744073709551615,"
              "\"startedAtMicroseconds\":990000}");
    EXPECT_EQ(TunnelState::decode(state.encoded()), state);
}

TEST(TunnelState, DecodesKeysInAnyOrderIgnoringUnknownOnesAndReadsMissingOptionalsAsAbsent) {
    const TunnelState expected{12, "/x", 5, 7, std::nullopt, std::nullopt};
    for (const std::string text : {
             R"({"startedAtMicroseconds":7,"executablePath":"\/x","pid":12,"startedAtSeconds":5})",
             R"({"pid":12,"executablePath":"/x","startedAtSeconds":5,"startedAtMicroseconds":7,"extra":[1,{}]})",
             R"({"pid":12,"executablePath":"/x","startedAtSeconds":5,"startedAtMicroseconds":7,
                 "startupAttemptIdentifier":null,"tunnelInterface":null})",
         }) {
        EXPECT_EQ(TunnelState::decode(text), expected) << text;
    }
    EXPECT_EQ(TunnelState::decode(R"({"pid":12,"executablePath":"/x","startedAtSeconds":5,"startedAtMicroseconds":7,
                                      "startupAttemptIdentifier":"any text","tunnelInterface":"utun3"})"),
              (TunnelState{12, "/x", 5, 7, "any text", "utun3"}));
}

TEST(TunnelState, RefusesMissingOrMistypedValues) {
    const std::string rest = R"("executablePath":"/x","startedAtSeconds":5,"startedAtMicroseconds":7)";
    for (const std::string& text : std::vector<std::string>{
             R"({"pid":"12",)" + rest + "}",
             R"({"pid":12.5,)" + rest + "}",
             R"({"pid":12.0,)" + rest + "}",
             R"({"pid":true,)" + rest + "}",
             R"({"pid":null,)" + rest + "}",
             R"({"pid":2147483648,)" + rest + "}",
             R"({"pid":-2147483649,)" + rest + "}",
             R"({)" + rest + "}",
             R"({"pid":12,"executablePath":7,"startedAtSeconds":5,"startedAtMicroseconds":7})",
             R"({"pid":12,"executablePath":"/x","startedAtSeconds":-1,"startedAtMicroseconds":7})",
             R"({"pid":12,"executablePath":"/x","startedAtSeconds":18446744073709551616,"startedAtMicroseconds":7})",
             R"({"pid":12,"executablePath":"/x","startedAtSeconds":5})",
             R"({"pid":12,)" + rest + R"(,"startupAttemptIdentifier":5})",
             R"({"pid":12,)" + rest + R"(,"tunnelInterface":["utun3"]})",
             R"({"pid":12,"pid":13,)" + rest + "}",
             "[]",
             "",
             "{",
         }) {
        EXPECT_THROW((void)TunnelState::decode(text), json::JsonError) << text;
    }
}

}  // namespace
}  // namespace tarnel
