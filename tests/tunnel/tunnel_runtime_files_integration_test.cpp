// The configuration files on disk and the default-interface reading through
// the netstat stand-in: modes, names, the tool's failures and its deadlines.

#include "app/tunnel/tunnel_runtime_files.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <stop_token>
#include <string>
#include <thread>

#include "app/tunnel/sing_box_config.hpp"
#include "common/base/files.hpp"
#include "common/contract/tailscale_compatibility_error.hpp"
#include "common/contract/tunnel_configuration_validator.hpp"
#include "common/process/cancellation_error.hpp"
#include "common/process/system_tools.hpp"
#include "tests/support/test_support.hpp"
#include "tests/tunnel/netstat_standin.hpp"
#include "tests/tunnel/sample_routes.hpp"

namespace tarnel::testing {
namespace {

constexpr std::string_view kDeadlineExceeded = "The tunnel startup exceeded its deadline.";
const std::string kEn0Table =
    "Routing tables\n\nInternet:\nDestination        Gateway            Flags               Netif Expire\n"
    "default            192.168.1.1        UGScg                 en0       \n"
    "192.168.1.0/24     link#2             UCS                   en0       \n";

mode_t modeOf(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) throw std::runtime_error("cannot stat " + path.string());
    return status.st_mode & 07777;
}

std::string contentsOf(const std::filesystem::path& path) { return files::readIfExists(path).value_or("(missing)"); }

// Sets the process's umask while the object lives.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : saved_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(saved_); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t saved_;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class TunnelRuntimeFilesTest : public ::testing::Test {
protected:
    NetstatStandIn netstat_;
};

TEST_F(TunnelRuntimeFilesTest, NewFolderIsPrivateAndEveryFileIs0600) {
    const ScopedUmask umask(022);
    netstat_.printing(kEn0Table);
    const RouteNode route = sampleRoute(RouteTransport::vless);

    const std::filesystem::path tunnel = TunnelRuntimeFiles::writeTunnelConfiguration(route);
    EXPECT_EQ(tunnel, netstat_.folder() / "tun-config.json");
    EXPECT_EQ(modeOf(netstat_.dataHome()), 0700u);  // a missing parent is made private too
    EXPECT_EQ(modeOf(netstat_.folder()), 0700u);
    EXPECT_EQ(modeOf(tunnel), 0600u);
    const std::string document = contentsOf(tunnel);
    EXPECT_EQ(document, SingBoxConfig::tunnelConfiguration(route, "en0"));
    EXPECT_EQ(PrivilegedTunnelConfigurationValidator::validate(document).defaultInterface, "en0");

    const std::filesystem::path proxy = TunnelRuntimeFiles::writeProxyConfiguration(route);
    EXPECT_EQ(proxy, netstat_.folder() / "proxy-config.json");
    EXPECT_EQ(modeOf(proxy), 0600u);
    EXPECT_EQ(contentsOf(proxy), SingBoxConfig::proxyConfiguration(route, "en0"));

    // The plan runner's attempt file, through the same write.
    const std::filesystem::path attempt =
        TunnelRuntimeFiles::attemptConfigurationURL(*Uuid::parse("3F2504E0-4F89-11D3-9A0C-0305E82C3301"));
    EXPECT_EQ(attempt.filename(), "tun-config-3F2504E0-4F89-11D3-9A0C-0305E82C3301.json");
    TunnelRuntimeFiles::writeConfigurationFile(attempt, document);
    EXPECT_EQ(modeOf(attempt), 0600u);
    EXPECT_EQ(contentsOf(attempt), document);

    // Each writer ran the tool once, with exactly the system's arguments.
    const auto runs = netstat_.runs();
    ASSERT_EQ(runs.size(), 2u);
    for (const auto& run : runs) EXPECT_EQ(run.arguments, "-rn -f inet");
    // Only the three files are there: no temporary file is left behind.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(netstat_.folder())) ++entries;
    EXPECT_EQ(entries, 3u);
}

TEST_F(TunnelRuntimeFilesTest, AnExistingFolderKeepsItsModeAndAnExistingFileBecomesPrivate) {
    std::filesystem::create_directories(netstat_.folder());
    ::chmod(netstat_.folder().c_str(), 0755);
    const std::filesystem::path tunnel = netstat_.folder() / "tun-config.json";
    files::writeAtomically(tunnel, "old", 0644);
    netstat_.printing(kEn0Table);

    EXPECT_EQ(TunnelRuntimeFiles::writeTunnelConfiguration(sampleRoute(RouteTransport::trojan)), tunnel);
    EXPECT_EQ(modeOf(netstat_.folder()), 0755u);
    EXPECT_EQ(modeOf(tunnel), 0600u);
    EXPECT_NE(contentsOf(tunnel), "old");
}

TEST_F(TunnelRuntimeFilesTest, CreatingTheFolderFailsWhereAFileStands) {
    std::filesystem::create_directories(netstat_.dataHome());
    files::writeAtomically(netstat_.folder(), "not a folder");
    EXPECT_THROW(TunnelRuntimeFiles::createDirectory(), SystemError);
    EXPECT_THROW(static_cast<void>(TunnelRuntimeFiles::writeProxyConfiguration(sampleRoute(RouteTransport::vless))),
                 SystemError);
    EXPECT_TRUE(netstat_.runs().empty());  // the folder comes first
}

TEST_F(TunnelRuntimeFilesTest, ARouteThatCannotBeExpressedWritesNothing) {
    netstat_.printing(kEn0Table);
    RouteNode route = sampleRoute(RouteTransport::vless);
    route.uuid.reset();
    EXPECT_EQ(failureOf([&] { static_cast<void>(TunnelRuntimeFiles::writeTunnelConfiguration(route)); }),
              "Selected VLESS route is missing UUID or Reality public key.");
    EXPECT_EQ(failureOf([&] { static_cast<void>(TunnelRuntimeFiles::writeProxyConfiguration(route)); }),
              "Selected VLESS route is missing UUID or Reality public key.");
    EXPECT_FALSE(files::entryExists(netstat_.folder() / "tun-config.json"));
    EXPECT_FALSE(files::entryExists(netstat_.folder() / "proxy-config.json"));
}

TEST_F(TunnelRuntimeFilesTest, WhatTheToolGivesDecidesTheInterface) {
    struct Case {
        std::string name;
        std::string output;
        int exitStatus = 0;
        bool missingTool = false;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"the en0 default route", kEn0Table, 0, false, "en0"},
        {"no en interface", "default            192.168.1.1        UGScg           bridge100\n", 0, false,
         std::nullopt},
        {"a failing tool", kEn0Table, 1, false, std::nullopt},
        {"a missing tool", kEn0Table, 0, true, std::nullopt},
        {"more than 262144 bytes", kEn0Table + std::string(300 * 1024, ' '), 0, false, std::nullopt},
        {"exactly 262144 bytes", kEn0Table + std::string(262'144 - kEn0Table.size(), ' '), 0, false, "en0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        netstat_.printing(c.output);
        netstat_.exitingWith(c.exitStatus);
        SystemTools::map(SystemTools::netstat,
                         c.missingTool ? netstat_.dataHome() / "no-such-netstat"
                                       : std::filesystem::path(TARNEL_STANDIN_NETSTAT));
        const double deadline = SystemClock::shared().uptime() + 30.0;
        EXPECT_EQ(TunnelRuntimeFiles::defaultIPv4Interface(deadline, std::stop_token{}), c.expected);

        const RouteNode route = sampleRoute(RouteTransport::vless);
        const std::string document = contentsOf(TunnelRuntimeFiles::writeTunnelConfiguration(route, deadline));
        EXPECT_EQ(document, SingBoxConfig::tunnelConfiguration(route, c.expected));
        EXPECT_EQ(document.find("\"auto_detect_interface\" : true") != std::string::npos, !c.expected);
    }
}

TEST_F(TunnelRuntimeFilesTest, AHangingToolEndsTheTunnelFileAtItsDeadlineButNotTheProxyFile) {
    netstat_.hanging();
    const RouteNode route = sampleRoute(RouteTransport::vless);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failureOf([&] { static_cast<void>(TunnelRuntimeFiles::writeTunnelConfiguration(route)); }),
              kDeadlineExceeded);
    double elapsed = secondsSince(start);
    RecordProperty("tunnel_seconds", std::to_string(elapsed));
    EXPECT_GE(elapsed, 2.0);
    EXPECT_LE(elapsed, 3.5);
    EXPECT_FALSE(files::entryExists(netstat_.folder() / "tun-config.json"));

    start = std::chrono::steady_clock::now();
    const std::filesystem::path proxy = TunnelRuntimeFiles::writeProxyConfiguration(route);
    elapsed = secondsSince(start);
    RecordProperty("proxy_seconds", std::to_string(elapsed));
    EXPECT_GE(elapsed, 2.0);
    EXPECT_LE(elapsed, 3.5);
    EXPECT_EQ(contentsOf(proxy), SingBoxConfig::proxyConfiguration(route, std::nullopt));

    EXPECT_EQ(netstat_.runs().size(), 2u);
    EXPECT_FALSE(netstat_.anyRunLeft());
}

TEST_F(TunnelRuntimeFilesTest, TheAttemptReadingEndsAtAStopOrItsDeadline) {
    netstat_.hanging();
    // The stop comes 0.2 s in, and not before the tool has started (it records
    // its run first), so that the stop meets a tool that ignores SIGTERM also
    // on a slow machine.
    std::stop_source stop;
    std::chrono::steady_clock::time_point stopped;
    std::jthread stopper([&] {
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        while (netstat_.runs().empty() && secondsSince(start) < 30.0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        stopped = std::chrono::steady_clock::now();
        stop.request_stop();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(static_cast<void>(TunnelRuntimeFiles::defaultIPv4Interface(
                     SystemClock::shared().uptime() + 60.0, stop.get_token())),
                 CancellationError);
    stopper.join();
    RecordProperty("stop_seconds", std::to_string(secondsSince(start)));
    EXPECT_LE(secondsSince(stopped), 1.3);
    EXPECT_EQ(netstat_.runs().size(), 1u);

    const auto deadlineStart = std::chrono::steady_clock::now();
    try {
        static_cast<void>(
            TunnelRuntimeFiles::defaultIPv4Interface(SystemClock::shared().uptime() + 0.5, std::stop_token{}));
        ADD_FAILURE() << "no error";
    } catch (const TailscaleCompatibilityError& error) {
        EXPECT_EQ(error.errorCase(), TailscaleCompatibilityError::Case::startupDeadlineExceeded);
    }
    const double elapsed = secondsSince(deadlineStart);
    RecordProperty("deadline_seconds", std::to_string(elapsed));
    EXPECT_GE(elapsed, 0.5);
    EXPECT_LE(elapsed, 2.0);

    EXPECT_FALSE(netstat_.anyRunLeft());
}

TEST_F(TunnelRuntimeFilesTest, ADeadlineAlreadyPastRunsNothing) {
    netstat_.printing(kEn0Table);
    const double past = SystemClock::shared().uptime() - 1.0;
    EXPECT_THROW(static_cast<void>(TunnelRuntimeFiles::defaultIPv4Interface(past, std::stop_token{})),
                 TailscaleCompatibilityError);
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_THROW(static_cast<void>(TunnelRuntimeFiles::defaultIPv4Interface(past + 60.0, stopped.get_token())),
                 CancellationError);
    EXPECT_EQ(failureOf([&] {
                  static_cast<void>(TunnelRuntimeFiles::writeTunnelConfiguration(sampleRoute(RouteTransport::vless),
                                                                                 past));
              }),
              kDeadlineExceeded);
    EXPECT_TRUE(netstat_.runs().empty());
}

}  // namespace
}  // namespace tarnel::testing
