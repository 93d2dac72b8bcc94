#include "platform/boot_clock.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "common/base/files.hpp"

namespace tarnel {
namespace {

TEST(BootIdentity, FoldsTheKernelsBootUUIDIntoANonNegativeNumber) {
    const struct {
        std::string text;
        std::optional<std::int64_t> boot;
    } cases[] = {
        // high 0x0000000000000001, low 0x8000000000000003: their exclusive
        // or is 0x8000000000000002, and without the sign bit 2.
        {"00000000-0000-0001-8000-000000000003\n", 2},
        {"00000000-0000-0001-8000-000000000003", 2},
        {"FFFFFFFF-FFFF-FFFF-0000-000000000000\n", INT64_MAX},
        {"ffffffff-ffff-ffff-ffff-ffffffffffff\n", 0},
        // 0x0123456789abcdef ^ 0xfedcba9876543210 = 0xffffffffffffffff.
        {"01234567-89ab-cdef-fedc-ba9876543210\n", INT64_MAX},
        {"12345678-9abc-4def-8123-456789abcdef\n", 0x1234'5678'9abc'4def ^ 0x0123'4567'89ab'cdef},
        {"", std::nullopt},
        {"\n", std::nullopt},
        {"00000000-0000-0001-8000-000000000003\n\n", std::nullopt},
        {" 00000000-0000-0001-8000-000000000003", std::nullopt},
        {"{00000000-0000-0001-8000-000000000003}", std::nullopt},
        {"000000000000000180000000000000003", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BootIdentity::fromBootID(c.text), c.boot) << c.text;
    }
}

TEST(SystemBootClock, NamesThisBootByTheKernelsBootUUID) {
    const auto text = files::readIfExists(std::string(BootIdentity::bootIDPath));
    if (!text) GTEST_SKIP() << "this kernel publishes no boot UUID";
    const auto boot = SystemBootClock::shared().currentBoot();
    ASSERT_TRUE(boot.has_value());
    EXPECT_EQ(boot, BootIdentity::fromBootID(*text));
    EXPECT_GE(*boot, 0);
    // A separate clock reads the same boot.
    EXPECT_EQ(SystemBootClock().currentBoot(), boot);
}

}  // namespace
}  // namespace tarnel
