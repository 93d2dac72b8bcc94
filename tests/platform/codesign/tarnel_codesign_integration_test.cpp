#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/base/digest.hpp"
#include "platform/codesign/local_code_signing.hpp"
#include "tests/common/process_test_support.hpp"
#include "tests/support/code_signing_support.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::codesign {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;

struct ToolResult {
    int status;
    std::string output;  // standard output and standard error
};

// Runs tarnel-codesign with these arguments.
ToolResult tool(const std::vector<std::string>& arguments) {
    // sh -c 'exec "$@" 2>&1' sh TOOL ARGUMENTS...: standard error joins the output.
    std::vector<std::string> words{"sh", TARNEL_CODESIGN_TOOL};
    words.insert(words.end(), arguments.begin(), arguments.end());
    const auto result = BoundedCommandRunner::run(testing::shell("exec \"$@\" 2>&1", words), 1 << 20,
                                                  testing::withinSeconds(60));
    return {result.terminationStatus, result.output};
}

std::string identityHex(const fs::path& path, const ecdsa::P256PublicKey& anchor) {
    const LocalCodeSigning service(anchor);
    const auto code = service.createStaticCode(path, flags::none);
    const auto information = service.copySigningInformation(*code.value, flags::none);
    const std::string& unique = information.value->unique;
    return lowercaseHex({reinterpret_cast<const std::uint8_t*>(unique.data()), unique.size()});
}

TEST(TarnelCodesign, MakesKeysSignsAndDescribes) {
    TemporaryDirectory directory;
    const std::string anchor = (directory / "anchor").string();
    const std::string team = (directory / "team").string();
    ASSERT_EQ(tool({"make-anchor", anchor}).status, 0);
    EXPECT_EQ((fs::status(anchor + "/anchor.key.pem").permissions() & fs::perms::all), fs::perms(0600));
    ASSERT_EQ(tool({"make-team", "--anchor", anchor, "--team", "QK7W2M9XRT", team}).status, 0);
    EXPECT_EQ((fs::status(team + "/team.key.pem").permissions() & fs::perms::all), fs::perms(0600));
    const auto anchorKey = ecdsa::P256PublicKey::fromSPKI(*files::readIfExists(anchor + "/anchor.spki.der"));

    // An executable, signed in place and into another file.
    testing::copyFile(testing::testProgram(), directory / "program");
    ASSERT_EQ(tool({"sign-executable", "--team", team, "--identifier", "app.tarnel.tool", (directory / "program").string()})
                  .status,
              0);
    ASSERT_EQ(tool({"sign-executable", "--team", team, "--identifier", "app.tarnel.tool", "--output",
                    (directory / "copy").string(), (directory / "program").string()})
                  .status,
              0);
    EXPECT_EQ((fs::status(directory / "copy").permissions() & fs::perms::all), fs::perms(0755));
    const auto described = tool({"describe", "--anchor", anchor + "/anchor.spki.der", (directory / "program").string()});
    EXPECT_EQ(described.status, 0);
    EXPECT_EQ(described.output,
              "identifier app.tarnel.tool\n"
              "team_identifier QK7W2M9XRT\n"
              "identity " + identityHex(directory / "program", anchorKey) + "\n"
              "designated_requirement identifier \"app.tarnel.tool\" and anchor apple generic and "
              "certificate leaf[subject.OU] = \"QK7W2M9XRT\"\n");
    EXPECT_NE(identityHex(directory / "copy", anchorKey), identityHex(directory / "program", anchorKey));

    // A bundle, under its own bundle identifier.
    testing::FixtureApplicationOptions options;
    options.signBundle = false;
    const auto application = testing::buildFixtureApplication(directory.path(), testing::SigningAuthority::generate(),
                                                              options);
    ASSERT_EQ(tool({"sign-bundle", "--team", team, application.bundle.string()}).status, 0);
    const auto bundle = tool({"describe", "--anchor", anchor + "/anchor.spki.der", application.bundle.string()});
    EXPECT_EQ(bundle.status, 0);
    EXPECT_NE(bundle.output.find("identifier app.tarnel.direct\n"), std::string::npos) << bundle.output;
    EXPECT_NE(bundle.output.find("identity " + identityHex(application.bundle, anchorKey) + "\n"), std::string::npos);
}

TEST(TarnelCodesign, RefusesWithAReason) {
    TemporaryDirectory directory;
    const std::string anchor = (directory / "anchor").string();
    const std::string team = (directory / "team").string();
    ASSERT_EQ(tool({"make-anchor", anchor}).status, 0);
    ASSERT_EQ(tool({"make-team", "--anchor", anchor, "--team", "QK7W2M9XRT", team}).status, 0);
    const std::string key = *files::readIfExists(anchor + "/anchor.key.pem");

    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string words;
    } cases[] = {
        {{"make-anchor", anchor}, 1, "already exists"},
        {{"make-team", "--anchor", anchor, "--team", "bad\"team", (directory / "team2").string()}, 1, "cannot be signed"},
        {{"describe", testing::testProgram().string()}, 1, "the code is not signed (status -71005)"},
        {{"describe", (directory / "missing").string()}, 1, "status -71004"},
        {{"sign-executable", "--team", team, (directory / "missing").string()}, 2, "--identifier is required"},
        {{"sign-executable", "--team", team, "--identifier", "x", (directory / "missing").string()}, 1,
         "is not a readable regular file"},
        {{"sign-executable", "--team", anchor, "--identifier", "x", testing::testProgram().string()}, 1,
         "team.key.pem"},
        {{"describe", "--anchor"}, 2, "--anchor needs a value"},
        {{"describe", "--trust", "x", "y"}, 2, "unknown option --trust"},
        {{"describe", "a", "b"}, 2, "exactly one path"},
        {{"frobnicate"}, 2, "unknown command frobnicate"},
        {{}, 2, "usage:"},
    };
    for (const auto& example : cases) {
        const auto result = tool(example.arguments);
        EXPECT_EQ(result.status, example.status) << result.output;
        EXPECT_NE(result.output.find(example.words), std::string::npos) << result.output;
    }
    // The refused make-anchor left the key as it was.
    EXPECT_EQ(*files::readIfExists(anchor + "/anchor.key.pem"), key);
}

// The build signs the test program with its development keys
// (tarnel_codesign_sign_executable in cmake/TarnelCodesign.cmake).
TEST(TarnelCodesign, TheBuildSignsWithItsDevelopmentAnchor) {
    const auto development = testing::SigningAuthority::development();
    const auto service = development.codeSigning();
    const auto code = service.createStaticCode(testing::developmentSignedTestProgram(), flags::none);
    ASSERT_EQ(code.status, status::success);
    const auto requirement = Requirement::compile(
        R"(identifier "app.tarnel.direct.test-program" and anchor apple generic and certificate leaf[subject.OU] = "QK7W2M9XRT")");
    EXPECT_EQ(service.checkStaticValidity(*code.value, flags::allArchitectures | flags::strictValidation, &*requirement),
              status::success);
    // The target's own file stays unsigned.
    EXPECT_EQ(service.checkStaticValidity(*service.createStaticCode(testing::testProgram(), flags::none).value,
                                          flags::strictValidation, nullptr),
              status::notSigned);
    const auto described = tool({"describe", "--anchor", (testing::developmentSigningDirectory() / "anchor.spki.der").string(),
                                 testing::developmentSignedTestProgram().string()});
    EXPECT_EQ(described.status, 0) << described.output;
}

}  // namespace
}  // namespace tarnel::codesign
