#include <gtest/gtest.h>

#include <string>

#include "app/catalog/http_manifest_loader.hpp"
#include "app/catalog/subscription_import_parser.hpp"
#include "app/http/curl_http_client.hpp"
#include "tests/catalog/subscription_fetch_test_support.hpp"
#include "tests/support/network_namespace.hpp"

namespace tarnel {
namespace {

class SubscriptionDownloadE2E : public testing::NamespaceTest {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped()) return;
#if !defined(TARNEL_HTTP_ADDRESS_GUARD)
        GTEST_SKIP() << "the address guard is built only with TARNEL_HTTP_ADDRESS_GUARD (scripts/build's test build)";
#endif
    }
};

// The message of the whole request's failure of a download that failed in
// ranges too.
std::string primaryFailureOf(const std::string& url) {
    const CurlHttpClient client;
    const testing::RecordingSleeper sleeper;
    try {
        (void)SubscriptionImportParser::downloadSignedRouteList(url, httpManifestLoader(client), sleeper, {});
    } catch (const AdaptiveManifestDownloadFailure& failure) {
        return failure.primaryFailure().message();
    }
    return "no download failure";
}

// Only "lo" exists here: a request past the guard would find no route.
TEST_F(SubscriptionDownloadE2E, AnAddressOutsideLoopbackAndAnUnpinnedNameFailAtTheGuard) {
    const testing::NetworkNamespace space;
    space.inside([] {
        EXPECT_EQ(primaryFailureOf("https://192.0.2.1/sub/m/T.json"), "The address is not allowed in this test build.");
        EXPECT_EQ(primaryFailureOf("https://unpinned.example/sub/m/T.json"),
                  "The host name is not pinned for this test build.");
    });
}

}  // namespace
}  // namespace tarnel
