#include "app/state/account_portal.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

using testing::failureOf;

const std::string kT32 = "abcdefghijklmnopqrstuvwxyzABCDEF";
const std::string kT31 = kT32.substr(1);
const std::string kT40 = "0123456789_-abcdefghijklmnopqrstuvwxyzAB";
const std::string kT128 = kT32 + kT32 + kT32 + kT32;
const std::string kT129 = kT128 + "x";
// printf '%s' abcdefghijklmnopqrstuvwxyzABCDEF | openssl dgst -sha256
constexpr const char* kProofT32 = "cfd2f1fad75a1978da0a444883db7251414b139f31f5a04704c291fdb0e175e6";
// printf '%s' abcdefghijklmnopqrstuvwxyzABCDEF{,,,} | openssl dgst -sha256
constexpr const char* kProofT128 = "abbf01c8f375aa0674d6f268fe32712d606c0c479fcf510355d08bdd78d7652a";
constexpr const char* kInvalidAccessLink = "Сначала импортируйте актуальную ссылку доступа.";
constexpr const char* kUnavailable = "Личный кабинет временно недоступен.";

const DirectAccountPortal kPortal("account.tarnel.test");

TEST(DirectAccountPortalError, CasesCarryTheirRussianTexts) {
    EXPECT_EQ(DirectAccountPortalError::invalidAccessLink().message(), kInvalidAccessLink);
    EXPECT_EQ(DirectAccountPortalError::unavailable().message(), kUnavailable);
    EXPECT_EQ(DirectAccountPortalError::unavailable().typeName(), "TarnelDirect.DirectAccountPortalError");
}

TEST(DirectAccountPortal, TheAccountHostIsADNSNameKeptInLowerCase) {
    const DirectAccountPortal portal("Account.Tarnel.TEST");
    EXPECT_EQ(portal.claimLinkURL(), "https://account.tarnel.test/api/account/app-claim-link");
    EXPECT_EQ(portal.handoffRedeemURL(), "https://account.tarnel.test/api/account/app-handoff/redeem");
    for (const char* host : {"", "account.tarnel.test:443", "account.tarnel.test/x", "a b", "u@account", "[::1]"}) {
        EXPECT_THROW(DirectAccountPortal{host}, std::invalid_argument) << host;
    }
}

TEST(DirectAccountPortal, AccessProofHashesTheTokenOfAnAccessLinkAlone) {
    const struct {
        std::string link;
        const char* proof;
    } accepted[] = {
        {"  https://h.example/sub/f/" + kT32 + ".txt\n", kProofT32},
        {"https://other.example:443//sub//f/" + kT32 + ".txt", kProofT32},
        {"HTTPS://H.Example/sub/f/" + kT32 + ".txt/", kProofT32},
        {"https://h.example/sub/f/" + kT128 + ".txt", kProofT128},
    };
    for (const auto& c : accepted) EXPECT_EQ(DirectAccountPortal::accessProof(c.link), c.proof) << c.link;

    const std::string base = "https://h.example/sub/f/";
    const std::string refused[] = {
        base + kT32 + ".txt?x=1",
        base + kT32 + ".txt?",
        base + kT32 + ".txt#x",
        base + kT32 + ".txt#",
        "https://h.example/sub/f/x/" + kT32 + ".txt",
        base + kT31 + ".txt",
        base + kT129 + ".txt",
        base + "abcdefghijklmnop.rstuvwxyzABCDEF.txt",
        base + ".txt",
        "https://h.example:8443/sub/f/" + kT32 + ".txt",
        "http://h.example/sub/f/" + kT32 + ".txt",
        "https://u@h.example/sub/f/" + kT32 + ".txt",
        "https://:p@h.example/sub/f/" + kT32 + ".txt",
        "https://h.example/SUB/f/" + kT32 + ".txt",
        "https://h.example/sub/F/" + kT32 + ".txt",
        base + kT32 + ".TXT",
        base + "%41" + kT32.substr(1) + ".txt",
        "https://h.example/s%75b/f/" + kT32 + ".txt",
        "https://h_x.example/sub/f/" + kT32 + ".txt",
        "https:///sub/f/" + kT32 + ".txt",
        "/sub/f/" + kT32 + ".txt",
        "https://h.example/sub/f/" + kT32 + " .txt",
        "",
    };
    for (const auto& link : refused) {
        EXPECT_EQ(failureOf([&] { (void)DirectAccountPortal::accessProof(link); }), kInvalidAccessLink) << link;
    }
}

TEST(DirectAccountPortal, CanonicalPortalURLKeepsTheRawQueryAndSetsLanguageAndChannelLast) {
    const struct {
        std::string url;
        const char* language;
        std::string canonical;
    } cases[] = {
        {"https://account.tarnel.test/account?channel=x&Lang=de&foo=1#frag", "en",
         "https://account.tarnel.test/account/?foo=1&lang=en&channel=macos-direct#frag"},
        {"https://account.tarnel.test/account/?foo=1&lang=en&channel=macos-direct#frag", "en",
         "https://account.tarnel.test/account/?foo=1&lang=en&channel=macos-direct#frag"},
        {"https://ACCOUNT.tarnel.test/account/?a=%2F&b=+&c&d=&%6Cang=x", "en",
         "https://account.tarnel.test/account/?a=%2F&b=+&c&d=&lang=en&channel=macos-direct"},
        {"HTTPS://account.tarnel.test/account", "ru", "https://account.tarnel.test/account/?lang=ru&channel=macos-direct"},
        {"https://account.tarnel.test/account/?", "en",
         "https://account.tarnel.test/account/?lang=en&channel=macos-direct"},
        {"https://account.tarnel.test/account?CHANNEL&x=%C3%A9&channel=a=b#", "ru",
         "https://account.tarnel.test/account/?x=%C3%A9&lang=ru&channel=macos-direct#"},
        {"https://account.tarnel.test/account#claim=" + kT40, "ru",
         "https://account.tarnel.test/account/?lang=ru&channel=macos-direct#claim=" + kT40},
    };
    for (const auto& c : cases) {
        const std::string canonical = kPortal.canonicalPortalURL(c.url, "macos-direct", c.language);
        EXPECT_EQ(canonical, c.canonical) << c.url;
        EXPECT_EQ(kPortal.canonicalPortalURL(canonical, "macos-direct", c.language), canonical) << c.url;
    }
    EXPECT_EQ(kPortal.canonicalPortalURL(kPortal.defaultPortalURL("macos-direct"), "macos-direct", "en"),
              "https://account.tarnel.test/account/?lang=en&channel=macos-direct");

    for (const char* url : {"https://account.tarnel.test:443/account", "https://u@account.tarnel.test/account",
                            "https://@account.tarnel.test/account", "https://other.tarnel.test/account",
                            "https://account.tarnel.test.evil.example/account", "http://account.tarnel.test/account",
                            "https://account.tarnel.test/account/x", "https://account.tarnel.test/Account",
                            "https://account.tarnel.test/%61ccount", "https://account.tarnel.test",
                            "https://account.tarnel.test/account//", "//account.tarnel.test/account",
                            "https://account.tarnel.test/account?a b"}) {
        EXPECT_EQ(failureOf([&] { (void)kPortal.canonicalPortalURL(url, "macos-direct", "en"); }), kUnavailable)
            << url;
    }
}

TEST(DirectAccountPortal, AClaimReplyNamesThePortalWithAClaimTokenOnly) {
    for (const std::string& url : {"https://account.tarnel.test/account#claim=" + kT32,
                                  "HTTPS://Account.Tarnel.Test/account#claim=" + kT128}) {
        EXPECT_EQ(kPortal.validatedClaimURL(url), url);
    }
    const std::string base = "https://account.tarnel.test/account";
    for (const std::string& url :
         {base + "#claim=" + kT31, base + "#claim=" + kT129, base + "?q=1#claim=" + kT32, base + "?#claim=" + kT32,
          "https://account.tarnel.test:443/account#claim=" + kT32, base + "/#claim=" + kT32, base + "#Claim=" + kT32,
          base + "#claim=" + kT32 + "&x=1", base + "#claim=%41" + kT32.substr(1), base + "#", base,
          "https://other.tarnel.test/account#claim=" + kT32, "https://u@account.tarnel.test/account#claim=" + kT32,
          "http://account.tarnel.test/account#claim=" + kT32}) {
        EXPECT_EQ(failureOf([&] { (void)kPortal.validatedClaimURL(url); }), kUnavailable) << url;
    }
}

TEST(DirectAccountPortal, HandoffTokenReadsTheDeepLinkAsWritten) {
    for (const std::string& url : {"tarnel-macos-direct://account/handoff#token=" + kT40,
                                  "TARNEL-MACOS-DIRECT://ACCOUNT/handoff#token=" + kT40}) {
        EXPECT_EQ(DirectAccountPortal::handoffToken(url), kT40) << url;
    }
    EXPECT_EQ(DirectAccountPortal::handoffToken("tarnel-macos-direct://account/handoff#token=" + kT128), kT128);

    const std::string link = "tarnel-macos-direct://account/handoff";
    for (const std::string& url : {
             "tarnel-macos-direct://account/Handoff#token=" + kT40,
             link + "/#token=" + kT40,
             link + "?#token=" + kT40,
             link + "?x=1#token=" + kT40,
             "tarnel-macos-direct://account:1/handoff#token=" + kT40,
             "tarnel-macos-direct://u@account/handoff#token=" + kT40,
             "tarnel-macos-direct://accounts/handoff#token=" + kT40,
             "https://account/handoff#token=" + kT40,
             std::string("https://account.tarnel.test/"),
             link,
             link + "#",
             link + "#token",
             link + "#token=",
             link + "#token=short",
             link + "#token=" + kT31,
             link + "#token=" + kT129,
             link + "#token=" + kT40 + "&x=1",
             link + "#token=" + kT40 + "&",
             link + "#&token=" + kT40,
             link + "#Token=" + kT40,
             link + "#tok%65n=" + kT40,
             link + "#token=%41" + kT40.substr(1),
             link + "#token=" + kT40 + "?",
             "tarnel-macos-direct:/handoff#token=" + kT40,
         }) {
        EXPECT_EQ(failureOf([&] { (void)DirectAccountPortal::handoffToken(url); }), kUnavailable) << url;
    }
}

TEST(DirectAccountPortal, SupportMailURLNeedsAnAddressThatFormsAURL) {
    EXPECT_EQ(DirectAccountPortal::supportMailURL("help@tarnel.test"), "mailto:help@tarnel.test");
    for (const char* address : {"", "help @tarnel.test", "help@tarnel.test\n", "a#b#c@tarnel.test"}) {
        EXPECT_EQ(DirectAccountPortal::supportMailURL(address), std::nullopt) << address;
    }
}

// Records the request and answers with a usable reply, so the request itself
// can be looked at.
class RecordingHttpClient final : public HttpClient {
public:
    explicit RecordingHttpClient(std::string reply) : reply_(std::move(reply)) {}

    HttpResponse perform(const HttpRequest& request, std::stop_token) const override {
        requests.push_back(request);
        return {200, {}, reply_};
    }

    mutable std::vector<HttpRequest> requests;

private:
    std::string reply_;
};

TEST(DirectAccountPortal, EachCallIsOneBoundedPostThatFollowsNoRedirect) {
    const RecordingHttpClient claim(R"({"ok":true,"url":"https://account.tarnel.test/account#claim=)" + kT40 + "\"}");
    (void)kPortal.claimPortalURL(claim, "https://h.example/sub/f/" + kT32 + ".txt", "macos-direct", {});
    const RecordingHttpClient redeem(
        R"({"ok":true,"entitlement":{"active":true,"subscription_url":"https://h.example/sub/f/)" + kT32 + ".txt\"}}");
    (void)kPortal.redeemHandoff(redeem, "tarnel-macos-direct://account/handoff#token=" + kT40, "macos-direct", {});

    for (const auto* client : {&claim, &redeem}) {
        ASSERT_EQ(client->requests.size(), 1u);
        const HttpRequest& request = client->requests.front();
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.timeoutSeconds, 12.0);
        EXPECT_EQ(request.bodyLimit, 8192u);
        EXPECT_FALSE(request.followRedirects);
        EXPECT_EQ(request.bodyOnlyForStatus, std::nullopt);
    }
}

}  // namespace
}  // namespace tarnel
