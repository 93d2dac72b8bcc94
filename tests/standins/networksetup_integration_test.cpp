// The networksetup stand-in: which calls it accepts, how it answers them and
// how it records them.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "common/base/files.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

constexpr const char* kSettings[] = {"TARNEL_NETWORKSETUP_CALLS", "TARNEL_NETWORKSETUP_SERVICES",
                                     "TARNEL_NETWORKSETUP_FAIL", "TARNEL_NETWORKSETUP_HANG"};

// The stand-in's environment, cleared before and after each test.
class NetworkSetupStandInTest : public ::testing::Test {
protected:
    NetworkSetupStandInTest() {
        for (const char* name : kSettings) ::unsetenv(name);
    }
    ~NetworkSetupStandInTest() override {
        for (const char* name : kSettings) ::unsetenv(name);
    }

    static BoundedCommandResult run(std::vector<std::string> arguments) {
        return BoundedCommandRunner::run({TARNEL_STANDIN_NETWORKSETUP, std::move(arguments)}, 65'536, [](double) {});
    }

    testing::TemporaryDirectory directory;
};

TEST_F(NetworkSetupStandInTest, RecordsEveryRunItsArgumentsNulTerminatedOneLineEach) {
    const std::filesystem::path calls = directory / "calls";
    ::setenv("TARNEL_NETWORKSETUP_CALLS", calls.c_str(), 1);
    EXPECT_EQ(run({"-setwebproxystate", "Wi-Fi", "on"}).terminationStatus, 0);
    // An empty argument and a refused call are recorded too.
    EXPECT_EQ(run({"-setproxybypassdomains", "Wi-Fi", "", "*.local"}).terminationStatus, 0);
    EXPECT_EQ(run({"-listallnetworkservices"}).terminationStatus, 2);
    // A line feed would make the records ambiguous: refused, not recorded.
    EXPECT_EQ(run({"-setwebproxystate", "Wi-Fi\n", "on"}).terminationStatus, 2);
    using namespace std::string_literals;
    EXPECT_EQ(files::readIfExists(calls).value_or("<missing>"),
              "-setwebproxystate\0Wi-Fi\0on\0\n"s
              "-setproxybypassdomains\0Wi-Fi\0\0*.local\0\n"s
              "-listallnetworkservices\0\n"s);
}

TEST_F(NetworkSetupStandInTest, AnswersTheProxyCallsForKnownServicesAndRefusesEverythingElse) {
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string output;
    };
    const std::string unknown = "Bluetooth PAN is not a recognized network service.\n";
    const std::string failed = "** Error: The operation couldn't be completed.\n";
    ::setenv("TARNEL_NETWORKSETUP_FAIL", "-setsocksfirewallproxystate Wi-Fi off\n-setwebproxy Ethernet 127.0.0.1 2080",
             1);
    const Case cases[] = {
        {{"-setwebproxy", "Wi-Fi", "127.0.0.1", "2080"}, 0, ""},
        {{"-setsecurewebproxy", "USB 10/100/1000 LAN", "127.0.0.1", "65535"}, 0, ""},
        {{"-setproxybypassdomains", "Thunderbolt Bridge", "localhost", "127.0.0.1", "::1", "*.local"}, 0, ""},
        {{"-setsocksfirewallproxystate", "Wi-Fi", "on"}, 0, ""},
        {{"-setsocksfirewallproxy", "Bluetooth PAN", "127.0.0.1", "2080"}, 1, unknown},
        {{"-setsocksfirewallproxystate", "Wi-Fi", "off"}, 1, failed},
        {{"-setwebproxy", "Ethernet", "127.0.0.1", "2080"}, 1, failed},
        {{"-setwebproxy", "Wi-Fi", "127.0.0.1", "65536"}, 2, ""},
        {{"-setwebproxy", "Wi-Fi", "127.0.0.1"}, 2, ""},
        {{"-setwebproxystate", "Wi-Fi", "On"}, 2, ""},
        {{"-setproxybypassdomains", "Wi-Fi"}, 2, ""},
        {{"-getwebproxy", "Wi-Fi"}, 2, ""},
        {{}, 2, ""},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.arguments.empty() ? "no arguments" : testCase.arguments[0]);
        const BoundedCommandResult result = run(testCase.arguments);
        EXPECT_EQ(result.terminationStatus, testCase.status);
        EXPECT_EQ(result.output, testCase.output);
    }

    // The known services can be set: then Wi-Fi is one the tool does not know.
    ::setenv("TARNEL_NETWORKSETUP_SERVICES", "Ethernet\nBluetooth PAN", 1);
    EXPECT_EQ(run({"-setwebproxystate", "Wi-Fi", "on"}).output, "Wi-Fi is not a recognized network service.\n");
    EXPECT_EQ(run({"-setwebproxystate", "Bluetooth PAN", "on"}).terminationStatus, 0);
}

}  // namespace
}  // namespace tarnel
