#include "app/tunnel/deployment_configuration.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "common/base/files.hpp"
#include "platform/info_plist.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

std::string xmlPlist(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + entries +
           "</dict>\n</plist>\n";
}

std::string entry(const std::string& key, const std::string& value) {
    return "<key>" + key + "</key>" + value + "\n";
}

TEST(AccountServiceEndpoints, ComeFromTheInformationPropertyListOrStayUnconfigured) {
    const std::string host(AccountServiceEndpoints::kHostInfoKey);
    const std::string support(AccountServiceEndpoints::kSupportEmailAddressInfoKey);
    const std::string unconfiguredHost(AccountServiceEndpoints::kUnconfiguredHost);
    const std::string unconfiguredSupport(AccountServiceEndpoints::kUnconfiguredSupportEmailAddress);
    const struct {
        const char* what;
        std::optional<std::string> plist;  // nothing: no file
        std::string host;
        std::string support;
    } cases[] = {
        {"both", xmlPlist(entry(host, "<string>Account.Tarnel.test</string>") +
                          entry(support, "<string>help@tarnel.test</string>")),
         "Account.Tarnel.test", "help@tarnel.test"},
        {"no file", std::nullopt, unconfiguredHost, unconfiguredSupport},
        {"no keys", xmlPlist(""), unconfiguredHost, unconfiguredSupport},
        {"not strings", xmlPlist(entry(host, "<integer>1</integer>") + entry(support, "<true/>")), unconfiguredHost,
         unconfiguredSupport},
        {"a host with a port", xmlPlist(entry(host, "<string>account.tarnel.test:443</string>")), unconfiguredHost,
         unconfiguredSupport},
        {"an empty host", xmlPlist(entry(host, "<string></string>")), unconfiguredHost, unconfiguredSupport},
        {"not a property list", std::string("account.tarnel.test"), unconfiguredHost, unconfiguredSupport},
    };
    const testing::TemporaryDirectory directory;
    const auto path = directory / "Info.plist";
    for (const auto& c : cases) {
        std::filesystem::remove(path);
        if (c.plist) files::writeAtomically(path, *c.plist);
        const auto endpoints = AccountServiceEndpoints::fromInfoPlist(path);
        EXPECT_EQ(endpoints.host, c.host) << c.what;
        EXPECT_EQ(endpoints.supportEmailAddress, c.support) << c.what;
    }
    EXPECT_EQ(AccountServiceEndpoints::fromInfoPlist(std::nullopt).host, unconfiguredHost);
}

TEST(AccountServiceEndpoints, TheRepositorysPropertyListHoldsThePlaceholdersUnderTheirKeys) {
    const auto plist = std::filesystem::path(TARNEL_TEST_FIXTURES) / "../../app/program/Info.plist";
    EXPECT_EQ(info_plist::string(plist, AccountServiceEndpoints::kHostInfoKey), "account.tarnel.invalid");
    EXPECT_EQ(info_plist::string(plist, AccountServiceEndpoints::kSupportEmailAddressInfoKey),
              "support@tarnel.invalid");
}

}  // namespace
}  // namespace tarnel
