#include "helper/protection/tailscale_underlay_endpoint.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"

namespace tarnel {
namespace {

using T = TailscaleUnderlayTransport;
using Endpoint = TailscaleUnderlayEndpoint;
using List = std::vector<Endpoint>;

std::string failure(const List& endpoints) {
    try {
        (void)Endpoint::validatedList(endpoints);
    } catch (const PrivilegedHelperContractError& error) {
        return error.reason();
    }
    return "accepted";
}

TEST(TailscaleUnderlayEndpoint, OrderIsTransportThenPortThenAddressAsText) {
    // tcp before udp whatever the port; ports numerically; addresses as text,
    // so 10.0.0.10 comes before 10.0.0.9.
    EXPECT_LT((Endpoint{"10.0.0.9", 65535, T::tcp}), (Endpoint{"10.0.0.1", 1, T::udp}));
    EXPECT_LT((Endpoint{"10.0.0.9", 3478, T::udp}), (Endpoint{"10.0.0.1", 41641, T::udp}));
    EXPECT_LT((Endpoint{"10.0.0.10", 443, T::tcp}), (Endpoint{"10.0.0.9", 443, T::tcp}));
    EXPECT_GT((Endpoint{"b", 1, T::tcp}), (Endpoint{"a", 1, T::tcp}));
    EXPECT_LE((Endpoint{"a", 1, T::tcp}), (Endpoint{"a", 1, T::tcp}));
    // Addresses compare as text: two spellings of ::1 are two endpoints.
    EXPECT_NE((Endpoint{"::1", 443, T::tcp}), (Endpoint{"0:0:0:0:0:0:0:1", 443, T::tcp}));
    const std::unordered_set<Endpoint, TailscaleUnderlayEndpointHash> set{
        {"::1", 443, T::tcp}, {"0:0:0:0:0:0:0:1", 443, T::tcp}, {"::1", 443, T::tcp}, {"::1", 443, T::udp}};
    EXPECT_EQ(set.size(), 3u);
}

TEST(TailscaleUnderlayEndpoint, CanonicalListDropsDuplicatesAndSorts) {
    EXPECT_EQ(Endpoint::validatedList({{"10.0.0.2", 80, T::udp},
                                       {"10.0.0.1", 443, T::tcp},
                                       {"10.0.0.9", 80, T::tcp},
                                       {"10.0.0.1", 443, T::tcp}}),
              (List{{"10.0.0.9", 80, T::tcp}, {"10.0.0.1", 443, T::tcp}, {"10.0.0.2", 80, T::udp}}));
    EXPECT_EQ(Endpoint::validatedAddresses(
                  {{"9.9.9.9", 3478, T::udp}, {"10.0.0.2", 443, T::tcp}, {"9.9.9.9", 443, T::tcp}, {"::1", 1, T::udp}}),
              (std::vector<std::string>{"10.0.0.2", "9.9.9.9", "::1"}));
}

TEST(TailscaleUnderlayEndpoint, CountIsCheckedFirstThenEachEndpointInOrder) {
    const Endpoint good{"192.0.2.1", 443, T::tcp};
    EXPECT_EQ(failure({}), "Tailscale underlay endpoint count is invalid");
    // 1025 endpoints fail even when all are duplicates of one.
    EXPECT_EQ(failure(List(1025, good)), "Tailscale underlay endpoint count is invalid");
    EXPECT_EQ(failure(List(1024, good)), "accepted");
    // The count before a bad endpoint.
    List tooManyAndBad(1025, good);
    tooManyAndBad[0].port = 0;
    EXPECT_EQ(failure(tooManyAndBad), "Tailscale underlay endpoint count is invalid");
    for (const Endpoint& bad : {Endpoint{"192.0.2.1", 0, T::tcp}, Endpoint{"192.0.2.1", 65536, T::tcp},
                                Endpoint{"192.0.2.1", -443, T::udp}, Endpoint{"relay.example.net", 443, T::tcp},
                                Endpoint{"[2001:db8::1]", 443, T::tcp}, Endpoint{"192.0.2.1\n", 443, T::tcp},
                                Endpoint{"", 443, T::tcp}}) {
        EXPECT_EQ(failure({good, bad}), "Tailscale underlay endpoint is invalid") << bad.address << " " << bad.port;
    }
    EXPECT_EQ(failure({{"2001:db8::1", 1, T::udp}, {"192.0.2.1", 65535, T::tcp}}), "accepted");
}

TEST(TailscaleUnderlayEndpoint, JsonFormHasThreeKeysAndRefusesOtherTransports) {
    const Endpoint endpoint{"2001:db8::1", 41641, T::udp};
    EXPECT_EQ(json::writeOrdered(endpoint.toJSON()), R"({"address":"2001:db8::1","port":41641,"transport":"udp"})");
    EXPECT_EQ(Endpoint::fromJSON(json::parse(R"({"transport":"tcp","port":443,"address":"192.0.2.1","x":1})")),
              (Endpoint{"192.0.2.1", 443, T::tcp}));
    const struct {
        const char* text;
        json::JsonError::Case expected;
        const char* detail;
    } cases[] = {
        {R"({"address":"192.0.2.1","port":443,"transport":"TCP"})", json::JsonError::Case::typeMismatch,
         "e.transport"},
        {R"({"address":"192.0.2.1","port":443,"transport":"quic"})", json::JsonError::Case::typeMismatch,
         "e.transport"},
        {R"({"address":"192.0.2.1","port":443})", json::JsonError::Case::missingKey, "e.transport"},
        {R"({"address":"192.0.2.1","port":443.0,"transport":"tcp"})", json::JsonError::Case::typeMismatch, "e.port"},
        {R"({"port":443,"transport":"tcp"})", json::JsonError::Case::missingKey, "e.address"},
    };
    for (const auto& c : cases) {
        try {
            (void)Endpoint::fromJSON(json::parse(c.text), "e");
            ADD_FAILURE() << "decoded " << c.text;
        } catch (const json::JsonError& error) {
            EXPECT_EQ(error.errorCase(), c.expected) << c.text;
            EXPECT_EQ(error.detail(), c.detail) << c.text;
        }
    }
}

}  // namespace
}  // namespace tarnel
