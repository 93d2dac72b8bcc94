#include "platform/info_plist.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include <plist/plist.h>

#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/signed_transport_manifest_verifier.hpp"
#include "common/base/base64.hpp"
#include "common/base/files.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

using testing::TemporaryDirectory;

std::string fixture(const std::string& name) { return testing::readFixture("manifest/" + name); }

std::string xmlPlist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n" +
           body + "\n</plist>\n";
}

// The same property list in binary form.
std::string binaryPlist(const std::string& xml) {
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    if (root == nullptr) throw std::runtime_error("test property list does not parse");
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    plist_free(root);
    if (bytes == nullptr) throw std::runtime_error("test property list does not convert");
    std::string binary(bytes, length);
    plist_to_bin_free(bytes);
    return binary;
}

std::string bundleInfo(const std::string& entries) {
    return xmlPlist("<dict>\n<key>CFBundleIdentifier</key><string>app.tarnel.direct</string>\n" + entries +
                    "\n</dict>");
}

std::string rootEntry(const std::string& value) {
    return "<key>TarnelTransportManifestRootSPKI</key>" + value;
}

TEST(InfoPlist, TheTrustRootIsReadFromXMLAndBinaryPropertyLists) {
    const std::string rootDER = fixture("root.spki.der");
    const std::string rootText = fixture("root.spki.b64url");
    ASSERT_EQ(rootText.find('='), std::string::npos);
    const struct {
        const char* name;
        std::string xml;
        std::optional<std::string> root;
    } cases[] = {
        {"base64url without padding", bundleInfo(rootEntry("<string>" + rootText + "</string>")), rootDER},
        {"standard Base64 with padding", bundleInfo(rootEntry("<string>" + base64Encode(rootDER) + "</string>")),
         rootDER},
        {"the only entry", xmlPlist("<dict>" + rootEntry("<string>" + rootText + "</string>") + "</dict>"), rootDER},
        {"absent", bundleInfo(""), std::nullopt},
        {"empty", bundleInfo(rootEntry("<string></string>")), std::nullopt},
        {"an integer", bundleInfo(rootEntry("<integer>1</integer>")), std::nullopt},
        {"the bytes as data", bundleInfo(rootEntry("<data>" + base64Encode(rootDER) + "</data>")), std::nullopt},
        {"a list of the text", bundleInfo(rootEntry("<array><string>" + rootText + "</string></array>")),
         std::nullopt},
        {"not base64url", bundleInfo(rootEntry("<string>MFkw*EwYHKoZIzj0CAQY</string>")), std::nullopt},
        {"broken over two lines",
         bundleInfo(rootEntry("<string>" + rootText.substr(0, 40) + "\n" + rootText.substr(40) + "</string>")),
         std::nullopt},
        {"in a nested dictionary",
         bundleInfo("<key>Tarnel</key><dict>" + rootEntry("<string>" + rootText + "</string>") + "</dict>"),
         std::nullopt},
        {"a list at the top", xmlPlist("<array><string>" + rootText + "</string></array>"), std::nullopt},
    };
    const TemporaryDirectory directory;
    for (const auto& testCase : cases) {
        for (const bool binary : {false, true}) {
            SCOPED_TRACE(std::string(testCase.name) + (binary ? " (binary)" : " (XML)"));
            const std::filesystem::path path = directory.path() / "Info.plist";
            files::writeAtomically(path, binary ? binaryPlist(testCase.xml) : testCase.xml);
            EXPECT_EQ(SignedTransportManifestVerifier::trustRootSPKI(path), testCase.root);
        }
    }
}

TEST(InfoPlist, FilesThatAreNotAPropertyListGiveNothing) {
    const TemporaryDirectory directory;
    const std::filesystem::path path = directory.path() / "Info.plist";
    EXPECT_EQ(info_plist::string(path, "CFBundleIdentifier"), std::nullopt);  // missing
    EXPECT_EQ(info_plist::string(directory.path(), "CFBundleIdentifier"), std::nullopt);  // a directory
    for (const std::string& contents : {std::string(), std::string("CFBundleIdentifier = app.tarnel.direct\n"),
                                       std::string("bplist00\x01\x02", 10),
                                       bundleInfo("").substr(0, 120)}) {
        SCOPED_TRACE(contents);
        files::writeAtomically(path, contents);
        EXPECT_EQ(info_plist::string(path, "CFBundleIdentifier"), std::nullopt);
    }
    files::writeAtomically(path, bundleInfo(""));
    EXPECT_EQ(info_plist::string(path, "CFBundleIdentifier"), "app.tarnel.direct");
    EXPECT_EQ(info_plist::string(path, "cfbundleidentifier"), std::nullopt);
}

TEST(InfoPlist, ABuildWithoutATrustRootRefusesToVerify) {
    const TemporaryDirectory directory;
    const std::filesystem::path path = directory.path() / "Info.plist";
    files::writeAtomically(path, bundleInfo(""));
    try {
        (void)SignedTransportManifestVerifier::requiredTrustRootSPKI(path);
        ADD_FAILURE() << "a property list without a root key gave one";
    } catch (const SignedTransportManifestError& error) {
        EXPECT_EQ(error.errorCase(), SignedTransportManifestError::Case::trustRootUnavailable);
        EXPECT_EQ(error.message(), "This app build does not trust signed transport manifests yet.");
    }
    files::writeAtomically(path, bundleInfo(rootEntry("<string>" + fixture("root.spki.b64url") + "</string>")));
    EXPECT_EQ(SignedTransportManifestVerifier::requiredTrustRootSPKI(path), fixture("root.spki.der"));
}

TEST(InfoPlist, TheMainBundleIsTheExecutablesContentsFolder) {
    EXPECT_EQ(info_plist::pathForExecutable("/Applications/Tarnel Direct.app/Contents/MacOS/Tarnel Direct"),
              std::filesystem::path("/Applications/Tarnel Direct.app/Contents/Info.plist"));
    EXPECT_EQ(info_plist::pathForExecutable("/opt/Tarnel Direct.app/Contents/Resources/Tarnel Direct"), std::nullopt);
    EXPECT_EQ(info_plist::pathForExecutable("/usr/bin/tarnel-direct"), std::nullopt);
    EXPECT_EQ(info_plist::pathForExecutable("/opt/Tarnel Direct.app/Contents/MacOS/"), std::nullopt);
    // The test program does not run from a bundle, so it trusts no root.
    EXPECT_EQ(info_plist::mainBundlePath(), std::nullopt);
    EXPECT_EQ(SignedTransportManifestVerifier::trustRootSPKI(), std::nullopt);
    try {
        (void)SignedTransportManifestVerifier::requiredTrustRootSPKI();
        ADD_FAILURE() << "a program outside a bundle gave a root key";
    } catch (const SignedTransportManifestError& error) {
        EXPECT_EQ(error.errorCase(), SignedTransportManifestError::Case::trustRootUnavailable);
    }
}

}  // namespace
}  // namespace tarnel
