#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "app/ui/single_instance.hpp"
#include "app/ui/tarnel_direct_app.hpp"
#include "common/base/files.hpp"
#include "common/process/child_process.hpp"
#include "platform/info_plist.hpp"
#include "tests/support/process_lines.hpp"
#include "tests/support/test_support.hpp"

extern char** environ;

// The program and the bundle the build assembles around it.
namespace tarnel::testing {
namespace {

const std::filesystem::path kBundle = TARNEL_APPLICATION_BUNDLE;
const std::filesystem::path kProgram = kBundle / "Contents/MacOS/Tarnel Direct";

std::string run(const std::filesystem::path& executable, const std::vector<std::string>& arguments, int& exitCode) {
    ChildProcess::Options options;
    options.executable = executable;
    options.arguments = arguments;
    options.output = ChildProcess::Redirect::pipe();
    options.error = ChildProcess::Redirect::toStandardOutput();
    ChildProcess child = ChildProcess::spawn(options);
    ProcessLines output(child);
    output.readUntil([](const std::vector<std::string>&) { return false; }, std::chrono::seconds(60));
    EXPECT_TRUE(child.waitForExit(60.0));
    exitCode = child.exitStatus() ? child.exitStatus()->terminationStatus() : -1;
    std::string text;
    for (const std::string& line : output.lines()) text += line + "\n";
    return text;
}

TEST(ApplicationBundleTest, TheBundleCarriesTheProgramItsKeysAndTheBuildSignature) {
    const auto info = kBundle / "Contents/Info.plist";
    const struct {
        const char* key;
        std::optional<std::string> value;
    } keys[] = {
        {"CFBundleShortVersionString", TARNEL_PROJECT_VERSION},
        {"CFBundleExecutable", "Tarnel Direct"},
        {"CFBundleIdentifier", "app.tarnel.direct"},
        {"TarnelAccountServiceHost", "account.tarnel.invalid"},
        {"TarnelSupportEmailAddress", "support@tarnel.invalid"},
        {"TarnelTransportManifestRootSPKI",
         std::string_view(TARNEL_TRANSPORT_MANIFEST_ROOT_SPKI).empty()
             ? std::nullopt
             : std::optional<std::string>(TARNEL_TRANSPORT_MANIFEST_ROOT_SPKI)},
    };
    for (const auto& test : keys) EXPECT_EQ(info_plist::string(info, test.key), test.value) << test.key;
    EXPECT_TRUE(std::filesystem::is_regular_file(kProgram));
    EXPECT_TRUE(std::filesystem::is_regular_file(kBundle / "Contents/Resources/bin/sing-box"));

    int exitCode = -1;
    const std::string described = run(
        TARNEL_CODESIGN_TOOL,
        {"describe", "--anchor", std::string(TARNEL_CODESIGN_DEVELOPMENT_DIR) + "/anchor.spki.der", kBundle.string()},
        exitCode);
    EXPECT_EQ(exitCode, 0) << described;
    EXPECT_NE(described.find("identifier app.tarnel.direct\n"), std::string::npos) << described;
}

TEST(ApplicationBundleTest, TheDesktopEntryOpensTheHandoffLinksWithTheBundlesProgram) {
    const auto entry = files::readIfExists(TARNEL_APPLICATION_DESKTOP_ENTRY);
    ASSERT_TRUE(entry);
    for (const std::string& line : {std::string("[Desktop Entry]\n"), std::string("\nType=Application\n"),
                                    std::string("\nMimeType=x-scheme-handler/tarnel-macos-direct;\n"),
                                    "\nExec=\"" + kProgram.string() + "\" %u\n"}) {
        EXPECT_NE(entry->find(line), std::string::npos) << line;
    }
}

// The build's Info.plist step with and without a trust root, and the values
// it refuses to write.
TEST(ApplicationBundleTest, TheInfoPlistStepAddsTheVersionAndANamedTrustRoot) {
    TemporaryDirectory directory;
    const std::string script = std::string(TARNEL_SOURCE_DIR) + "/cmake/TarnelInfoPlist.cmake";
    const std::string templatePlist = std::string(TARNEL_SOURCE_DIR) + "/app/program/Info.plist";
    const auto step = [&](const std::string& version, const std::string& trustRoot, int& exitCode) {
        return run(TARNEL_CMAKE_COMMAND,
                   {"-DTEMPLATE=" + templatePlist, "-DOUTPUT=" + (directory / "Info.plist").string(),
                    "-DVERSION=" + version, "-DTRUST_ROOT=" + trustRoot, "-P", script},
                   exitCode);
    };
    int exitCode = -1;
    step("2.10.3", "MFkwEwYHKoZIzj0CAQ_-", exitCode);
    ASSERT_EQ(exitCode, 0);
    EXPECT_EQ(info_plist::string(directory / "Info.plist", "CFBundleShortVersionString"), "2.10.3");
    EXPECT_EQ(info_plist::string(directory / "Info.plist", "TarnelTransportManifestRootSPKI"), "MFkwEwYHKoZIzj0CAQ_-");
    EXPECT_EQ(info_plist::string(directory / "Info.plist", "TarnelAccountServiceHost"), "account.tarnel.invalid");
    EXPECT_EQ(info_plist::string(directory / "Info.plist", "CFBundleURLName"), std::nullopt) << "nested, not top level";

    for (const auto& [version, trustRoot] : std::vector<std::pair<std::string, std::string>>{
             {"1.0<", ""}, {"1.0", "key</string>"}, {"", ""}}) {
        std::filesystem::remove(directory / "Info.plist");
        step(version, trustRoot, exitCode);
        EXPECT_NE(exitCode, 0) << version << " " << trustRoot;
        EXPECT_FALSE(std::filesystem::exists(directory / "Info.plist")) << version << " " << trustRoot;
    }
}

// The program as the desktop starts it: offscreen, in a user's directories
// of the test's own.
class ApplicationProgramTest : public ::testing::Test {
protected:
    ApplicationProgramTest() {
        for (const char* name : {"data", "config", "runtime", "home"}) {
            std::filesystem::create_directory(directory / name);
            ::chmod((directory / name).c_str(), 0700);
        }
    }

    ChildProcess start(std::vector<std::string> arguments) {
        ChildProcess::Options options;
        options.executable = kProgram;
        options.arguments = std::move(arguments);
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string_view text(*entry);
            if (!text.starts_with("XDG_") && !text.starts_with("HOME=") && !text.starts_with("QT_QPA_PLATFORM=") &&
                !text.starts_with("DISPLAY=")) {
                environment.emplace_back(text);
            }
        }
        environment.push_back("QT_QPA_PLATFORM=offscreen");
        environment.push_back("HOME=" + (directory / "home").string());
        environment.push_back("XDG_DATA_HOME=" + (directory / "data").string());
        environment.push_back("XDG_CONFIG_HOME=" + (directory / "config").string());
        environment.push_back("XDG_RUNTIME_DIR=" + (directory / "runtime").string());
        options.environment = std::move(environment);
        options.output = ChildProcess::Redirect::null();
        options.error = ChildProcess::Redirect::null();
        return ChildProcess::spawn(options);
    }

    [[nodiscard]] bool listening() const {
        struct stat status {};
        return ::lstat((directory / "runtime" / std::string(SingleInstance::kSocketName)).c_str(), &status) == 0 &&
               S_ISSOCK(status.st_mode);
    }

    TemporaryDirectory directory;
};

TEST_F(ApplicationProgramTest, ASecondStartHandsItsLinkToTheRunningProgramAndEnds) {
    ChildProcess first = start({"--selected-route-only-diagnostic"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!listening()) {
        ASSERT_TRUE(first.isRunning()) << "the program ended";
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the program never listened";
        ::usleep(20'000);
    }
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"tarnel-macos-direct://account/handoff#token=" + std::string(40, 'a')},
          std::vector<std::string>{}}) {
        const auto begin = std::chrono::steady_clock::now();
        ChildProcess second = start(arguments);
        ASSERT_TRUE(second.waitForExit(30.0));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        EXPECT_EQ(second.exitStatus()->terminationStatus(), 0);
        EXPECT_LT(seconds, 2.0);
    }
    EXPECT_TRUE(first.isRunning());
    EXPECT_TRUE(first.stop(10.0, 5.0));
}

TEST(ApplicationArgumentsTest, EveryArgumentThatIsNoOptionIsAnOpenedURL) {
    EXPECT_EQ(
        TarnelDirectApp::openedURLs({"Tarnel Direct", "--selected-route-only-diagnostic",
                                     "tarnel-macos-direct://account/handoff#token=x", "https://x.test/", "-x", "",
                                     "a b"}),
        (std::vector<std::string>{"tarnel-macos-direct://account/handoff#token=x", "https://x.test/", "", "a b"}));
    EXPECT_EQ(TarnelDirectApp::openedURLs({"Tarnel Direct"}), std::vector<std::string>{});
}

}  // namespace
}  // namespace tarnel::testing
