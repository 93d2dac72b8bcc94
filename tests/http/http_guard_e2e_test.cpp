#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/http/curl_http_client.hpp"
#include "app/http/http_error.hpp"
#include "tests/support/http_test_support.hpp"
#include "tests/support/https_test_server.hpp"
#include "tests/support/network_namespace.hpp"

namespace tarnel {
namespace {

using testing::HttpsTestServer;
using testing::NetworkNamespace;
using testing::TestHttpAnswer;

class HttpGuardE2E : public testing::NamespaceTest {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped()) return;
#if !defined(TARNEL_HTTP_ADDRESS_GUARD)
        GTEST_SKIP() << "the address guard is built only with TARNEL_HTTP_ADDRESS_GUARD (scripts/build's test build)";
#endif
    }
};

HttpTransportError::Case failureOf(const HttpClient& client, const std::string& url) {
    HttpRequest request;
    request.url = url;
    request.timeoutSeconds = 10.0;
    try {
        (void)client.perform(request, {});
    } catch (const HttpTransportError& error) {
        return error.errorCase();
    }
    ADD_FAILURE() << "no transport error for " << url;
    return HttpTransportError::Case::failed;
}

// Only "lo" exists here, so a request the guard let through would find no
// route; the guard must refuse it first.
TEST_F(HttpGuardE2E, RefusesAnAddressOutsideLoopbackAndAnUnpinnedNameInANamespaceWithOnlyLoopback) {
    const NetworkNamespace space;
    space.inside([] {
        const CurlHttpClient client;
        EXPECT_EQ(failureOf(client, "https://192.0.2.1/"), HttpTransportError::Case::addressNotAllowed);
        EXPECT_EQ(failureOf(client, "http://[2001:db8::1]/"), HttpTransportError::Case::addressNotAllowed);
        EXPECT_EQ(failureOf(client, "https://unpinned.example/"), HttpTransportError::Case::hostNotPinned);
    });
}

TEST_F(HttpGuardE2E, ReachesAServerInTheTestsNamespaceOnlyWhenItsAddressIsAllowed) {
    NetworkNamespace space;
    space.addVeth("10.231.0.1/24");
    space.inside([] {
        HttpsTestServer server({.address = "10.231.0.1"});
        server.answer("/", TestHttpAnswer::ok("inside"));
        HttpRequest request;
        request.url = "https://sub.tarnel.test/";

        const CurlHttpClient refusing(testing::clientSettingsFor(server, {"sub.tarnel.test"}));
        EXPECT_EQ(failureOf(refusing, request.url), HttpTransportError::Case::addressNotAllowed);
        EXPECT_TRUE(server.connections().empty());

        auto settings = testing::clientSettingsFor(server, {"sub.tarnel.test"});
        settings.allowedAddresses = {"10.231.0.1"};
        const CurlHttpClient allowing(settings);
        EXPECT_EQ(allowing.perform(request, {}).body, "inside");
        EXPECT_EQ(server.requests().at(0).peerAddress, "10.231.0.1");
    });
}

}  // namespace
}  // namespace tarnel
