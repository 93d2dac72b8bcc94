#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/sysconfig/system_configuration.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::sysconfig {
namespace {

// Runs `body` in a forked child, which exits 0 when it answers true.
template <typename Body>
pid_t forkChild(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body() ? 0 : 1);
    return pid;
}

bool exitedCleanly(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Every set rewrites the whole store file, so writers that did not exclude
// each other would lose one another's keys.
TEST(FileSystemConfigurationProcesses, WritersInSeveralProcessesLoseNothing) {
    testing::TemporaryDirectory directory;
    const auto root = directory / "root";
    constexpr int kProcesses = 4;
    constexpr int kKeysEach = 40;
    std::vector<pid_t> children;
    for (int process = 0; process < kProcesses; ++process) {
        children.push_back(forkChild([&] {
            FileSystemConfiguration own(root);
            const auto store = own.openDynamicStore("writer");
            for (int index = 0; index < kKeysEach; ++index) {
                const std::string key = "State:/test/" + std::to_string(process) + "/" + std::to_string(index);
                if (!store || !store->setValue(key, PropertyList(index))) return false;
            }
            return true;
        }));
    }
    for (const pid_t child : children) EXPECT_TRUE(exitedCleanly(child));

    const auto values = FileSystemConfiguration(root).dynamicStoreValues();
    EXPECT_EQ(values.size(), static_cast<std::size_t>(kProcesses * kKeysEach));
    EXPECT_EQ(values.at("State:/test/3/39"), PropertyList(39));
}

TEST(FileSystemConfigurationProcesses, AnotherProcessSeesCommittedPreferencesAndTheirApplication) {
    testing::TemporaryDirectory directory;
    const auto root = directory / "root";
    PreferencesDocument document = PreferencesDocument::initial();
    document.sets["Automatic"].services = {"S1"};
    document.services["S1"] = {"Wi-Fi", "en0", {{"DNS", {true, std::nullopt}}}};
    FileSystemConfiguration(root).replacePreferences(document);

    const pid_t child = forkChild([&] {
        FileSystemConfiguration own(root);
        const auto preferences = own.openPreferences("editor");
        return preferences &&
               preferences->setProtocolConfiguration("S1", names::dns,
                                                     PropertyList::Dictionary{{"ServerAddresses", PropertyList::Array{"10.0.0.53"}}}) &&
               preferences->commitChanges() && preferences->applyChanges();
    });
    ASSERT_TRUE(exitedCleanly(child));

    FileSystemConfiguration configuration(root);
    const PropertyList::Dictionary expected{{"ServerAddresses", PropertyList::Array{"10.0.0.53"}}};
    EXPECT_EQ(configuration.openPreferences("reader")->protocol("S1", names::dns)->configuration, expected);
    EXPECT_EQ(configuration.openDynamicStore("reader")->copyValue("Setup:/Network/Service/S1/DNS"), PropertyList(expected));
}

}  // namespace
}  // namespace tarnel::sysconfig
