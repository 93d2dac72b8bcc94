#include "app/ui/account_portal_engine.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/base/files.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

TEST(AccountPortalUserAgent, NamesTheBundleVersion) {
    testing::TemporaryDirectory directory;
    const auto plist = [&](const std::string& name, const std::string& entry) {
        const auto path = directory / name;
        files::writeAtomically(path,
                               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                               "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                               "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                               "<plist version=\"1.0\"><dict>" +
                                   entry + "</dict></plist>\n");
        return std::optional(path);
    };
    const std::pair<std::optional<std::filesystem::path>, std::string> cases[] = {
        {plist("version.plist", "<key>CFBundleShortVersionString</key><string>1.4.2</string>"),
         "TarnelDirect/1.4.2"},
        {plist("integer.plist", "<key>CFBundleShortVersionString</key><integer>14</integer>"),
         "TarnelDirect/unknown"},
        {plist("absent.plist", "<key>CFBundleVersion</key><string>7</string>"), "TarnelDirect/unknown"},
        {plist("newline.plist", "<key>CFBundleShortVersionString</key><string>1.4&#10;X-Injected: 1</string>"),
         "TarnelDirect/unknown"},
        {std::nullopt, "TarnelDirect/unknown"},
        {directory / "missing.plist", "TarnelDirect/unknown"},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(accountPortalUserAgentProduct(path), expected) << (path ? path->string() : "no property list");
    }
}

}  // namespace
}  // namespace tarnel
