#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <latch>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "helper/protection/system_dns_override.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

using sysconfig::PropertyList;

class SystemDNSOverrideProcesses : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the restore record and its directory must be owned by root";
    }

    [[nodiscard]] bool hasRecord() const {
        struct stat status {};
        return ::lstat((runtime_ / "dns-state.json").c_str(), &status) == 0;
    }

    testing::TemporaryDirectory directory_;
    std::filesystem::path runtime_ = directory_ / "runtime";
};

// The interface the resolver entry names, or nothing without an entry.
std::optional<std::string> resolverInterface(sysconfig::DynamicStore& store) {
    const auto value = store.copyValue(SystemDNSOverride::resolverKey());
    if (!value) return std::nullopt;
    return *value->get<PropertyList::Dictionary>()->at("InterfaceName").get<std::string>();
}

// Callers reach apply and restore under different locks of their own; the
// override's own mutex must keep the record and the entry together.
TEST_F(SystemDNSOverrideProcesses, ApplyAndRestoreRacingFromTwoThreadsLeaveAConsistentPair) {
    const auto configuration = std::make_shared<sysconfig::MemorySystemConfiguration>();
    SystemDNSOverride applying(runtime_, configuration);
    SystemDNSOverride restoring(runtime_, configuration);
    const auto store = configuration->openDynamicStore("check");
    int inconsistent = 0;
    for (int round = 0; round < 1000; ++round) {
        const std::string name = round % 2 == 0 ? "utun5" : "utun6";
        std::latch start(2);
        std::exception_ptr applyFailure;
        std::exception_ptr restoreFailure;
        std::thread applier([&] {
            start.arrive_and_wait();
            try {
                applying.apply(name);
            } catch (...) {
                applyFailure = std::current_exception();
            }
        });
        std::thread restorer([&] {
            start.arrive_and_wait();
            try {
                restoring.restore();
            } catch (...) {
                restoreFailure = std::current_exception();
            }
        });
        applier.join();
        restorer.join();
        ASSERT_FALSE(applyFailure) << "round " << round;
        ASSERT_FALSE(restoreFailure) << "round " << round;

        const auto entry = resolverInterface(*store);
        if (hasRecord()) {
            const auto recorded = std::get<SystemDNSOverride::ResolverState>(applying.loadState()).interfaceName;
            if (entry != recorded || recorded != name) ++inconsistent;
        } else if (entry) {
            ++inconsistent;
        }
    }
    EXPECT_EQ(inconsistent, 0);
}

// A second helper process, or a stand-in tool, works on the same store and
// runtime directory and sees what the first one did.
TEST_F(SystemDNSOverrideProcesses, ASecondProcessRestoresWhatTheFirstApplied) {
    const auto root = directory_ / "sysconfig";
    SystemDNSOverride first(runtime_, std::make_shared<sysconfig::FileSystemConfiguration>(root));
    first.apply("utun5");

    const pid_t child = ::fork();
    if (child == 0) {
        bool restored = false;
        try {
            auto configuration = std::make_shared<sysconfig::FileSystemConfiguration>(root);
            SystemDNSOverride second(runtime_, configuration);
            const auto store = configuration->openDynamicStore("second");
            restored = store && resolverInterface(*store) == "utun5";
            second.restore();
        } catch (...) {
            restored = false;
        }
        ::_exit(restored ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    EXPECT_FALSE(hasRecord());
    EXPECT_EQ(sysconfig::FileSystemConfiguration(root).dynamicStoreValues(),
              (std::map<std::string, PropertyList>{}));
}

}  // namespace
}  // namespace tarnel
