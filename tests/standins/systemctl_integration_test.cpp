// The systemctl stand-in: the four calls the helper's registration makes,
// over its state, and nothing else.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/base/files.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "tests/common/process_test_support.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

namespace fs = std::filesystem;

class SystemctlStandIn {
public:
    SystemctlStandIn() {
        fs::create_directories(directory_ / "units");
        fs::create_directories(directory_ / "state");
        ::setenv("TARNEL_SYSTEMCTL_UNIT_DIRECTORY", (directory_ / "units").c_str(), 1);
        ::setenv("TARNEL_SYSTEMCTL_ROOT", (directory_ / "state").c_str(), 1);
    }
    ~SystemctlStandIn() {
        for (const char* name :
             {"TARNEL_SYSTEMCTL_UNIT_DIRECTORY", "TARNEL_SYSTEMCTL_ROOT", "TARNEL_SYSTEMCTL_FAULTS"}) {
            ::unsetenv(name);
        }
    }
    SystemctlStandIn(const SystemctlStandIn&) = delete;
    SystemctlStandIn& operator=(const SystemctlStandIn&) = delete;

    void writeUnit(const std::string& text) const { files::writeAtomically(directory_ / "units" / "x.service", text); }

    static BoundedCommandResult run(std::vector<std::string> arguments) {
        BoundedCommandStreams streams;
        streams.captureStandardError = true;
        return BoundedCommandRunner::run({TARNEL_STANDIN_SYSTEMCTL, std::move(arguments)}, streams, 4096,
                                         testing::withinSeconds(30));
    }

private:
    testing::TemporaryDirectory directory_;
};

TEST(SystemctlStandIn, EnablesOnlyAUnitLoadedAsItIs) {
    SystemctlStandIn systemctl;
    EXPECT_EQ(SystemctlStandIn::run({"is-enabled", "x.service"}), (BoundedCommandResult{4, "not-found\n"}));
    systemctl.writeUnit("[Service]\nExecStart=/bin/true\n");
    EXPECT_EQ(SystemctlStandIn::run({"is-enabled", "x.service"}), (BoundedCommandResult{1, "disabled\n"}));
    EXPECT_EQ(SystemctlStandIn::run({"enable", "--now", "x.service"}).terminationStatus, 1) << "not loaded";
    EXPECT_EQ(SystemctlStandIn::run({"daemon-reload"}).terminationStatus, 0);
    EXPECT_EQ(SystemctlStandIn::run({"enable", "--now", "x.service"}).terminationStatus, 0);
    EXPECT_EQ(SystemctlStandIn::run({"is-enabled", "x.service"}), (BoundedCommandResult{0, "enabled\n"}));
    systemctl.writeUnit("[Service]\nExecStart=/bin/false\n");
    EXPECT_EQ(SystemctlStandIn::run({"enable", "--now", "x.service"}).terminationStatus, 1) << "changed on disk";
    EXPECT_EQ(SystemctlStandIn::run({"disable", "--now", "x.service"}).terminationStatus, 0);
    EXPECT_EQ(SystemctlStandIn::run({"is-enabled", "x.service"}), (BoundedCommandResult{1, "disabled\n"}));
}

TEST(SystemctlStandIn, FaultsAndRefusedCalls) {
    SystemctlStandIn systemctl;
    systemctl.writeUnit("[Service]\nExecStart=/bin/true\n");
    ::setenv("TARNEL_SYSTEMCTL_FAULTS", "daemon-reload:exit=1:Access denied,enable:exit=7", 1);
    EXPECT_EQ(SystemctlStandIn::run({"daemon-reload"}), (BoundedCommandResult{1, "", "Access denied\n"}));
    EXPECT_EQ(SystemctlStandIn::run({"enable", "--now", "x.service"}), (BoundedCommandResult{7, "", "Failed\n"}));
    EXPECT_EQ(SystemctlStandIn::run({"is-enabled", "x.service"}).terminationStatus, 1);
    for (const char* faults : {"enable:exit=0", "start:exit=1", "enable:reboot"}) {
        ::setenv("TARNEL_SYSTEMCTL_FAULTS", faults, 1);
        EXPECT_EQ(SystemctlStandIn::run({"daemon-reload"}).terminationStatus, 2) << faults;
    }
    ::unsetenv("TARNEL_SYSTEMCTL_FAULTS");
    for (const std::vector<std::string>& call : std::vector<std::vector<std::string>>{
             {"start", "x.service"}, {"enable", "x.service"}, {"is-enabled", "../x.service"}, {"is-enabled"}}) {
        EXPECT_EQ(SystemctlStandIn::run(call).terminationStatus, 2) << call.front();
    }
}

}  // namespace
}  // namespace tarnel
