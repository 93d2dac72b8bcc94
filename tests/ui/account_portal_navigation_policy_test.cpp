#include "app/ui/account_portal_navigation_policy.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/state/account_portal.hpp"

namespace tarnel {
namespace {

using Kind = AccountPortalNavigationDecision::Kind;

const std::string kAccount = "https://account.tarnel.test";
const std::string kHandoff = "tarnel-macos-direct://account/handoff#token=" + std::string(40, 'a');

std::string canonical(std::string_view url, std::string_view language) {
    return DirectAccountPortal("account.tarnel.test")
        .canonicalPortalURL(url, DirectAccountPortal::kClientChannel, language);
}

struct PolicyCase {
    std::string url;
    bool isMainFrame = true;
    std::string language = "en";
    AccountPortalNavigationDecision expected;
};

TEST(AccountPortalNavigationPolicy, DecidesEachNavigation) {
    const auto load = [](std::string url) { return AccountPortalNavigationDecision{Kind::cancelAndLoad, std::move(url)}; };
    const AccountPortalNavigationDecision allow{Kind::allow, {}};
    const AccountPortalNavigationDecision cancel{Kind::cancel, {}};
    const PolicyCase cases[] = {
        {kAccount + "/account?x=1", true, "en", load(kAccount + "/account/?x=1&lang=en&channel=macos-direct")},
        {kAccount + "/account/?x=1&lang=en&channel=macos-direct", true, "en", allow},
        {kAccount + "/account/?Lang=de&x=1", true, "ru", load(kAccount + "/account/?x=1&lang=ru&channel=macos-direct")},
        {"https://other.tarnel.test/p", true, "en", allow},
        {"https://account.tarnel.test:444/account", true, "en", allow},
        {kAccount + "/account/more", true, "en", allow},
        {"http://account.tarnel.test/account", true, "en", cancel},
        {"javascript:x", true, "en", cancel},
        {"data:text/html,x", true, "en", cancel},
        {"file:///etc/passwd", true, "en", cancel},
        {"ftp://x", true, "en", cancel},
        {"", true, "en", cancel},
        {"", false, "en", cancel},
        {"mailto:help@tarnel.test", true, "en", {Kind::cancelAndOpenOutside, {}}},
        {"MAILTO:help@tarnel.test", true, "en", {Kind::cancelAndOpenOutside, {}}},
        {kHandoff, true, "en", {Kind::cancelAndHandOff, {}}},
        {"TARNEL-MACOS-DIRECT://ACCOUNT/handoff#token=" + std::string(40, 'a'), true, "en", {Kind::cancelAndHandOff, {}}},
        {kHandoff + "&", true, "en", cancel},
        {"tarnel-macos-direct://account/Handoff#token=" + std::string(40, 'a'), true, "en", cancel},
        {kHandoff, false, "en", allow},
        {"mailto:help@tarnel.test", false, "en", allow},
        {"http://account.tarnel.test/account", false, "en", allow},
        {"file:///etc/passwd", false, "en", allow},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AccountPortalNavigationPolicy::decide(c.url, c.isMainFrame, c.language, std::nullopt, canonical),
                  c.expected)
            << c.url << (c.isMainFrame ? " (main frame)" : " (sub-frame)") << " in " << c.language;
    }
}

// The engine reports the canonical address the sheet loaded with its own
// encoding; that is the same address, not a new one to replace.
TEST(AccountPortalNavigationPolicy, AllowsTheLastIssuedAddressAsTheEngineReEncodesIt) {
    // A canonicaliser that is not idempotent: every call gives a new address.
    int calls = 0;
    const auto drifting = [&](std::string_view url, std::string_view language) {
        return canonical(url, language) + "&n=" + std::to_string(++calls);
    };
    const std::string issued = kAccount + "/account/?q=a'b&lang=en&channel=macos-direct&n=1";
    const std::string reported = kAccount + "/account/?q=a%27b&lang=en&channel=macos-direct&n=1";

    EXPECT_EQ(AccountPortalNavigationPolicy::decide(kAccount + "/account?q=a'b", true, "en", std::nullopt, drifting),
              (AccountPortalNavigationDecision{Kind::cancelAndLoad, issued}));
    EXPECT_EQ(AccountPortalNavigationPolicy::decide(reported, true, "en", issued, drifting).kind, Kind::allow);
    EXPECT_EQ(AccountPortalNavigationPolicy::decide(issued, true, "en", issued, drifting).kind, Kind::allow);
    // Another address is still replaced.
    EXPECT_EQ(AccountPortalNavigationPolicy::decide(kAccount + "/account/?q=a%27c", true, "en", issued, drifting).kind,
              Kind::cancelAndLoad);
}

TEST(AccountPortalNavigationPolicy, ReadsTheSchemeOfAURL) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"HTTPS://x", "https"},  {"mailto:a@b", "mailto"}, {"a+b-c.d:x", "a+b-c.d"},
        {"1http://x", std::nullopt}, {"/path:x", std::nullopt}, {":x", std::nullopt}, {"no-colon", std::nullopt},
    };
    for (const auto& [url, expected] : cases) EXPECT_EQ(AccountPortalNavigationPolicy::scheme(url), expected) << url;
}

}  // namespace
}  // namespace tarnel
