#include "common/base/ascii.hpp"

#include <gtest/gtest.h>

namespace tarnel {
namespace {

TEST(Ascii, ComparesIgnoringTheCaseOfAsciiLettersOnly) {
    static_assert(ascii::equalIgnoringCase("Content-Range", "content-RANGE"));
    const struct {
        std::string_view left;
        std::string_view right;
        bool equal;
    } cases[] = {
        {"", "", true},
        {"identity", "IDENTITY", true},
        {"a", "ab", false},
        {"[", "{", false},  // 0x5B and 0x7B differ by the case bit but are no letters
        {"@", "`", false},
        {"\xc3\x84", "\xc3\xa4", false},  // non-ASCII letters keep their case
    };
    for (const auto& c : cases) EXPECT_EQ(ascii::equalIgnoringCase(c.left, c.right), c.equal) << c.left;
    EXPECT_EQ(ascii::lower('Z'), 'z');
    EXPECT_EQ(ascii::lower('z'), 'z');
    EXPECT_EQ(ascii::lower('\xc4'), '\xc4');
}

}  // namespace
}  // namespace tarnel
