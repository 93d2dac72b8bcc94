#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/files.hpp"
#include "common/base/log.hpp"
#include "common/base/uuid.hpp"
#include "common/process/runtime_error.hpp"
#include "common/process/system_tools.hpp"
#include "helper/runtime/tailscale_compatibility_validation.hpp"
#include "tests/support/code_signing_support.hpp"
#include "tests/support/test_account.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

namespace fs = std::filesystem;
using Case = PrivilegedRuntimeError::Case;

constexpr std::string_view kServiceIdentifier = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";
constexpr std::string_view kExtensionBundle = "io.tailscale.ipn.macsys.network-extension.systemextension";
const std::vector<std::int64_t> kRegions = {1, 2};

TailscaleUnderlayEndpoint tcp(std::string address, std::int64_t port) {
    return {std::move(address), port, TailscaleUnderlayTransport::tcp};
}
TailscaleUnderlayEndpoint udp(std::string address, std::int64_t port) {
    return {std::move(address), port, TailscaleUnderlayTransport::udp};
}

// A Tailscale installation under a root of its own: the signed application
// (whose tool is the stand-in, configured by the file beside it) with its
// signed extension, the VPN tool's answers, running extension copies, and the
// system tools mapped to the stand-ins for the life of the object.
class TailscaleFixture {
public:
    explicit TailscaleFixture(const std::string& faults = "", const std::string& interfaceName = "utun3",
                              const std::optional<fs::path>& derpMap = std::nullopt,
                              const std::optional<fs::path>& status = std::nullopt)
        : root_(testing::realPath(directory_.path())),
          authority_(testing::SigningAuthority::generate(ClientCodeValidator::tailscaleTeamIdentifier)),
          codeSigning_(authority_.codeSigning()) {
        fs::permissions(root_, fs::perms(0755));
        fs::create_directories(root_ / "out");
        fs::permissions(root_ / "out", fs::perms(0777));
        const fs::path application = root_ / "Applications/Tailscale.app";
        extension_ = application / "Contents/Library/SystemExtensions" / kExtensionBundle;
        testing::FixtureApplicationOptions extensionOptions;
        extensionOptions.bundleName = std::string(kExtensionBundle);
        extensionOptions.bundleIdentifier = std::string(ClientCodeValidator::tailscaleExtensionBundleIdentifier);
        extensionOptions.executableName = std::string(ClientCodeValidator::tailscaleExtensionBundleIdentifier);
        extensionOptions.runtimeIdentifier = std::nullopt;
        (void)testing::buildFixtureApplication(extension_.parent_path(), authority_, extensionOptions);

        testing::FixtureApplicationOptions applicationOptions;
        applicationOptions.bundleName = "Tailscale.app";
        applicationOptions.bundleIdentifier = std::string(ClientCodeValidator::tailscaleApplicationBundleIdentifier);
        applicationOptions.executableName = "Tailscale";
        applicationOptions.executable = TARNEL_STANDIN_TAILSCALE;
        applicationOptions.runtimeIdentifier = std::nullopt;
        applicationOptions.signBundle = false;
        tool_ = testing::buildFixtureApplication(root_ / "Applications", authority_, applicationOptions).executable;
        const fs::path fixtures = fs::path(TARNEL_TEST_FIXTURES) / "tailscale-cli";
        std::ofstream(tool_.parent_path() / "tarnel-standin.env")
            << "TARNEL_TAILSCALE_DERP_MAP=" << derpMap.value_or(fixtures / "derp-map.json").string() << '\n'
            << "TARNEL_TAILSCALE_STATUS=" << status.value_or(fixtures / "status.json").string() << '\n'
            << "TARNEL_TAILSCALE_USER_FILE=" << userFile().string() << '\n'
            << "TARNEL_TAILSCALE_FAULTS=" << faults << '\n';
        codesign::signBundle(application, ClientCodeValidator::tailscaleApplicationBundleIdentifier, authority_.team);

        fs::create_directories(root_ / "scutil");
        files::writeAtomically(root_ / "scutil" / std::string(kServiceIdentifier),
                               "Connected\n  IPv4 : <dictionary> {\n    InterfaceName : " + interfaceName + "\n  }\n",
                               0644);
        ::setenv("TARNEL_SCUTIL_LIST", (fixtures / "scutil-list.txt").c_str(), 1);
        ::setenv("TARNEL_SCUTIL_STATUS_DIRECTORY", (root_ / "scutil").c_str(), 1);
        ::setenv("TARNEL_LAUNCHCTL_CALLS", callsFile().c_str(), 1);
        SystemTools::map(SystemTools::scutil, TARNEL_STANDIN_SCUTIL);
        SystemTools::map(SystemTools::launchctl, TARNEL_STANDIN_LAUNCHCTL);
    }
    ~TailscaleFixture() {
        SystemTools::clearMappings();
        for (const char* name : {"TARNEL_SCUTIL_LIST", "TARNEL_SCUTIL_STATUS_DIRECTORY", "TARNEL_LAUNCHCTL_CALLS",
                                 "TARNEL_SCUTIL_EXIT_STATUS"}) {
            ::unsetenv(name);
        }
    }
    TailscaleFixture(const TailscaleFixture&) = delete;
    TailscaleFixture& operator=(const TailscaleFixture&) = delete;

    // Installs a copy of the signed extension under
    // "<root>/Library/SystemExtensions/<directory>/" and returns its executable.
    fs::path installExtension(const std::string& directory) {
        const fs::path copy = root_ / "Library/SystemExtensions" / directory / kExtensionBundle;
        fs::create_directories(copy.parent_path());
        fs::copy(extension_, copy, fs::copy_options::recursive);
        return copy / "Contents/MacOS" / std::string(ClientCodeValidator::tailscaleExtensionBundleIdentifier);
    }

    TailscaleValidationResult validate(const PrivilegedTunnelStartupControl& control, std::uint32_t user = 501,
                                       const std::string& physicalInterface = "en0") const {
        return ClientCodeValidator::validateTailscaleCompatibility(kRegions, 1, physicalInterface, user, control,
                                                                   {root_}, codeSigning_);
    }

    [[nodiscard]] const fs::path& root() const { return root_; }
    [[nodiscard]] const fs::path& tool() const { return tool_; }
    [[nodiscard]] fs::path extensionExecutable() const {
        return extension_ / "Contents/MacOS" / std::string(ClientCodeValidator::tailscaleExtensionBundleIdentifier);
    }
    // Signs the application again over what its bundle holds now.
    void resignApplication() const {
        codesign::signBundle(root_ / "Applications/Tailscale.app",
                             ClientCodeValidator::tailscaleApplicationBundleIdentifier, authority_.team);
    }
    [[nodiscard]] fs::path userFile() const { return root_ / "out/users"; }
    [[nodiscard]] fs::path callsFile() const { return root_ / "calls"; }

    // Whether a process still runs the tool.
    [[nodiscard]] bool toolRunning() const { return testing::programRunning(tool_); }

private:
    testing::TemporaryDirectory directory_;
    fs::path root_;
    testing::SigningAuthority authority_;
    codesign::LocalCodeSigning codeSigning_;
    fs::path extension_;
    fs::path tool_;
};

PrivilegedTunnelStartupControl liveControl(std::function<bool()> cancelled = [] { return false; }) {
    return PrivilegedTunnelStartupControl({Uuid::random(), SystemClock::shared().uptime() + 60.0, true},
                                          std::move(cancelled));
}

// The lines of the client-validation log category.
std::vector<std::string> validationLines(const ScopedLogCapture& capture) {
    std::vector<std::string> lines;
    for (const LogEntry& entry : capture.entries()) {
        if (entry.category == "client-validation") lines.push_back(entry.text);
    }
    return lines;
}

// Runs the validation, expecting tailscaleCompatibilityUnavailable, and
// returns the log lines it wrote.
std::vector<std::string> refusal(const TailscaleFixture& fixture, std::uint32_t user = 501,
                                 const std::string& physicalInterface = "en0") {
    ScopedLogCapture capture;
    try {
        (void)fixture.validate(liveControl(), user, physicalInterface);
        ADD_FAILURE() << "the validation passed";
    } catch (const PrivilegedRuntimeError& error) {
        EXPECT_EQ(error.errorCase(), Case::tailscaleCompatibilityUnavailable);
    }
    for (const LogEntry& entry : capture.entries()) {
        if (entry.category == "client-validation") {
            EXPECT_EQ(entry.level, LogLevel::error) << entry.text;
        }
    }
    return validationLines(capture);
}

TEST(TailscaleCompatibilityValidation, ReturnsTheEndpointsAndInterfaceAfterRunningTheToolAsTheUser) {
    testing::ScopedTestAccount account;
    ASSERT_TRUE(account.available());
    TailscaleFixture fixture;
    // Two processes of one installed extension count as one.
    const fs::path extension = fixture.installExtension("0A1B2C3D");
    const ChildProcess first = testing::startProgram(extension);
    const ChildProcess second = testing::startProgram(extension);
    ScopedLogCapture capture;
    const TailscaleValidationResult result = fixture.validate(liveControl());
    const std::vector<TailscaleUnderlayEndpoint> expected = {
        tcp("192.0.2.10", 443),    tcp("198.51.100.21", 443), tcp("2001:db8::10", 443), tcp("192.0.2.11", 8443),
        udp("192.0.2.10", 3478),   udp("198.51.100.21", 3478), udp("2001:db8::10", 3478), udp("198.51.100.20", 3479),
        udp("2001:db8::7", 41641), udp("203.0.113.5", 41641)};
    EXPECT_EQ(result, (TailscaleValidationResult{expected, "utun3"}));
    EXPECT_TRUE(capture.entries().empty());
    const std::string prefix = "asuser 501 /usr/bin/sudo -n -H -u #501 -- " + fixture.tool().string();
    EXPECT_EQ(fixture.tool(), fixture.root() / "Applications/Tailscale.app/Contents/MacOS/Tailscale");
    EXPECT_EQ(files::readIfExists(fixture.callsFile()), prefix + " debug derp-map\n" + prefix + " status --json\n");
    EXPECT_EQ(files::readIfExists(fixture.userFile()), "501\n501\n");
}

TEST(TailscaleCompatibilityValidation, RefusesBeforeRunningTheToolAsRoot) {
    TailscaleFixture fixture;
    const ChildProcess extension = testing::startProgram(fixture.installExtension("0A1B2C3D"));
    EXPECT_EQ(refusal(fixture, 0), std::vector<std::string>{"tailscale_validation stage=user_context"});
    EXPECT_FALSE(fs::exists(fixture.callsFile()));
    for (const std::string name : {"en0 ", "en", "bridge0", "utun3"}) {
        EXPECT_EQ(refusal(fixture, 501, name), std::vector<std::string>{"tailscale_validation stage=physical_interface"})
            << name;
    }
}

TEST(TailscaleCompatibilityValidation, APassedDeadlineEndsItUnloggedAndTheRequirementsNameTailscale) {
    EXPECT_EQ(ClientCodeValidator::requirement("io.tailscale.ipn.macsys", "W5364U7YZB"),
              R"(identifier "io.tailscale.ipn.macsys" and anchor apple generic and certificate leaf[subject.OU] = "W5364U7YZB")");
    TailscaleFixture fixture;
    ScopedLogCapture capture;
    const PrivilegedTunnelStartupControl expired({Uuid::random(), SystemClock::shared().uptime() - 1.0, true},
                                                 [] { return false; });
    try {
        (void)fixture.validate(expired);
        ADD_FAILURE() << "the validation passed";
    } catch (const PrivilegedRuntimeError& error) {
        EXPECT_EQ(error.errorCase(), Case::tunnelStartupDeadlineExceeded);
    }
    EXPECT_TRUE(capture.entries().empty());
}

TEST(TailscaleCompatibilityValidation, CountsTheDistinctValidExtensionsThatRun) {
    TailscaleFixture fixture;
    EXPECT_EQ(refusal(fixture), std::vector<std::string>{"tailscale_validation stage=live_extension validated_count=0"});
    const ChildProcess old = testing::startProgram(fixture.installExtension("0A1B2C3D"));
    const ChildProcess current = testing::startProgram(fixture.installExtension("4E5F6A7B"));
    EXPECT_EQ(refusal(fixture), std::vector<std::string>{"tailscale_validation stage=live_extension validated_count=2"});
    // A program of that name outside the system extensions, or an unsigned
    // one inside them, is no Tailscale extension.
    const std::string name(ClientCodeValidator::tailscaleExtensionBundleIdentifier);
    const fs::path elsewhere = fixture.root() / "opt" / name;
    const fs::path unsigned_ = fixture.root() / "Library/SystemExtensions/unsigned" / name;
    for (const fs::path& path : {elsewhere, unsigned_}) {
        fs::create_directories(path.parent_path());
        testing::copyFile(testing::testProgram(), path);
    }
    const ChildProcess stray = testing::startProgram(elsewhere);
    const ChildProcess strayUnsigned = testing::startProgram(unsigned_);
    EXPECT_EQ(refusal(fixture), std::vector<std::string>{"tailscale_validation stage=live_extension validated_count=2"});
    EXPECT_FALSE(fs::exists(fixture.callsFile()));
}

TEST(TailscaleCompatibilityValidation, LogsTheFailedCommandStage) {
    testing::ScopedTestAccount account;
    ASSERT_TRUE(account.available());
    struct Row {
        std::string faults;
        std::string line;
    };
    const std::vector<Row> rows = {
        {"derp-map:silent", "tailscale_validation stage=derp_map_empty"},
        {"status:exit=3", "tailscale_validation stage=status_command exit=3"},
        {"derp-map:oversize=2097153", "tailscale_validation stage=derp_map_command runner=BoundedCommandRunnerError"},
        {"status:silent", "tailscale_validation stage=status_empty"},
        {"derp-map:oversize=16", "tailscale_validation stage=derp_map_parse"},
        {"status:oversize=16", "tailscale_validation stage=status_parse"},
    };
    for (const Row& row : rows) {
        TailscaleFixture fixture(row.faults);
        const ChildProcess extension = testing::startProgram(fixture.installExtension("0A1B2C3D"));
        EXPECT_EQ(refusal(fixture), std::vector<std::string>{row.line}) << row.faults;
    }
}

TEST(TailscaleCompatibilityValidation, MoreThan1024EndpointsTogetherFailTheUnderlayStage) {
    testing::ScopedTestAccount account;
    ASSERT_TRUE(account.available());
    // 256 endpoints from the map (two regions of 32 nodes, each with an IPv4
    // and an IPv6 address, tcp and udp) and 800 from the peers: each document
    // is valid alone.
    const testing::TemporaryDirectory documents;
    fs::permissions(documents.path(), fs::perms(0755));
    std::string derpMap = R"({"Regions":{)";
    for (int region = 1; region <= 2; ++region) {
        derpMap += (region == 1 ? "" : ",") + ("\"" + std::to_string(region) + "\":{\"RegionID\":") +
                   std::to_string(region) + R"(,"Nodes":[)";
        for (int node = 0; node < 32; ++node) {
            derpMap += (node == 0 ? "" : ",") + std::string(R"({"IPv4":"192.0.)") + std::to_string(region) + "." +
                       std::to_string(node + 1) + R"(","IPv6":"2001:db8::)" + std::to_string(region * 100 + node) +
                       "\"}";
        }
        derpMap += "]}";
    }
    derpMap += "}}";
    std::string status = R"({"Peer":{)";
    for (int peer = 0; peer < 800; ++peer) {
        status += (peer == 0 ? "" : ",") + ("\"p" + std::to_string(peer) + "\":") +
                  R"({"Active":true,"CurAddr":"100.64.)" + std::to_string(peer / 250) + "." +
                  std::to_string(peer % 250 + 1) + R"(:41641"})";
    }
    status += "}}";
    files::writeAtomically(documents.path() / "derp-map.json", derpMap, 0644);
    files::writeAtomically(documents.path() / "status.json", status, 0644);
    TailscaleFixture fixture("", "utun3", documents.path() / "derp-map.json", documents.path() / "status.json");
    const ChildProcess extension = testing::startProgram(fixture.installExtension("0A1B2C3D"));
    EXPECT_EQ(refusal(fixture), std::vector<std::string>{"tailscale_validation stage=underlay_parse"});
}

TEST(TailscaleCompatibilityValidation, LogsTheVPNProfileStages) {
    {
        TailscaleFixture fixture("", "utun3 utun4");
        EXPECT_EQ(refusal(fixture), std::vector<std::string>{"tailscale_validation stage=tunnel_interface"});
    }
    {
        TailscaleFixture fixture;
        ::setenv("TARNEL_SCUTIL_EXIT_STATUS", "4", 1);
        EXPECT_EQ(refusal(fixture), std::vector<std::string>{"tailscale_validation stage=profile_list_command exit=4"});
    }
    {
        TailscaleFixture fixture;
        ::setenv("TARNEL_SCUTIL_LIST", (fixture.root() / "calls").c_str(), 1);
        files::writeAtomically(fixture.root() / "calls", "* (Connected) 3F2504E0-4F89-11D3-9A0C-0305E82C3301 VPN\n",
                               0644);
        EXPECT_EQ(refusal(fixture), std::vector<std::string>{"tailscale_validation stage=profile_lookup"});
    }
    {
        // The VPN tool knows no status of the connected profile.
        TailscaleFixture fixture;
        fs::remove(fixture.root() / "scutil" / std::string(kServiceIdentifier));
        EXPECT_EQ(refusal(fixture), std::vector<std::string>{"tailscale_validation stage=profile_status_command exit=1"});
    }
}

TEST(TailscaleCompatibilityValidation, ASignatureThatFailsIsAnInvalidCodeSignature) {
    for (const bool extension : {false, true}) {
        SCOPED_TRACE(extension ? "extension" : "application");
        TailscaleFixture fixture;
        if (extension) {
            // The application, signed again, still holds; its extension does not.
            testing::flipByte(fixture.extensionExecutable(), 100);
            fixture.resignApplication();
        } else {
            testing::flipByte(fixture.tool(), 100);
        }
        ScopedLogCapture capture;
        try {
            (void)fixture.validate(liveControl());
            ADD_FAILURE() << "the validation passed";
        } catch (const PrivilegedRuntimeError& error) {
            EXPECT_EQ(error.errorCase(), Case::invalidCodeSignature);
        }
        const std::string stage = extension ? "tailscale_extension_static" : "tailscale_application_static";
        EXPECT_EQ(validationLines(capture),
                  (std::vector<std::string>{"client_validation stage=" + stage +
                                            " status=" + std::to_string(codesign::status::codeModified)}));
    }
}

// The tool is run only as the application's own executable: one replaced by
// a link after the signature checks (here at the checkpoint that follows
// them) is refused before anything runs.
TEST(TailscaleCompatibilityValidation, AToolThatIsALinkIsRefusedAsCommandIdentity) {
    testing::ScopedTestAccount account;
    ASSERT_TRUE(account.available());
    TailscaleFixture fixture;
    const ChildProcess extension = testing::startProgram(fixture.installExtension("0A1B2C3D"));
    int checkpoints = 0;
    const auto control = liveControl([&] {
        if (++checkpoints == 3) {
            fs::rename(fixture.tool(), fixture.tool().string() + ".real");
            fs::create_symlink(fixture.tool().filename().string() + ".real", fixture.tool());
        }
        return false;
    });
    ScopedLogCapture capture;
    try {
        (void)fixture.validate(control);
        ADD_FAILURE() << "the validation passed";
    } catch (const PrivilegedRuntimeError& error) {
        EXPECT_EQ(error.errorCase(), Case::tailscaleCompatibilityUnavailable);
    }
    ASSERT_TRUE(fs::is_symlink(fixture.tool()));
    EXPECT_EQ(validationLines(capture), std::vector<std::string>{"tailscale_validation stage=command_identity"});
    EXPECT_FALSE(fs::exists(fixture.callsFile()));
}

TEST(TailscaleCompatibilityValidation, AnotherInstallationIsRefusedAsBundleIdentity) {
    TailscaleFixture fixture;
    fs::rename(fixture.root() / "Applications/Tailscale.app", fixture.root() / "Applications/Other.app");
    EXPECT_EQ(refusal(fixture), std::vector<std::string>{"tailscale_validation stage=bundle_identity"});
}

TEST(TailscaleCompatibilityValidation, ACancelledStartStopsTheToolWithoutAStageLine) {
    testing::ScopedTestAccount account;
    ASSERT_TRUE(account.available());
    TailscaleFixture fixture("derp-map:sleep=30");
    const ChildProcess extension = testing::startProgram(fixture.installExtension("0A1B2C3D"));
    // The start is cancelled 200 ms after the DERP map command began.
    std::optional<double> commandStarted;
    const auto control = liveControl([&] {
        const double now = SystemClock::shared().uptime();
        if (!commandStarted && fs::exists(fixture.callsFile())) commandStarted = now;
        return commandStarted && now >= *commandStarted + 0.2;
    });
    ScopedLogCapture capture;
    try {
        (void)fixture.validate(control);
        ADD_FAILURE() << "the validation passed";
    } catch (const PrivilegedRuntimeError& error) {
        EXPECT_EQ(error.errorCase(), Case::tunnelStartupCancelled);
        EXPECT_EQ(error.message(), "The tunnel startup was cancelled.");
    }
    ASSERT_TRUE(commandStarted.has_value());
    // The runner's bounds (SIGTERM, 0.25 s, SIGKILL, 1.0 s) end it soon after
    // the cancellation, far from the tool's 30 s, with room for a busy machine.
    EXPECT_LT(SystemClock::shared().uptime() - *commandStarted, 0.2 + 0.25 + 1.0 + 3.5);
    for (const LogEntry& entry : capture.entries()) {
        EXPECT_FALSE(entry.text.starts_with("tailscale_validation")) << entry.text;
    }
    EXPECT_FALSE(fixture.toolRunning());
}

}  // namespace
}  // namespace tarnel
