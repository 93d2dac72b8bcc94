#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/base/base64.hpp"

namespace tarnel {
namespace {

using namespace std::string_literals;

struct Vector {
    std::string bytes;
    std::string standard;
    std::string url;
};

// RFC 4648, section 10, plus bytes that use the two alphabet-specific
// characters (62 and 63) and bytes that are not text.
const Vector kVectors[] = {
    {"", "", ""},
    {"f", "Zg==", "Zg"},
    {"fo", "Zm8=", "Zm8"},
    {"foo", "Zm9v", "Zm9v"},
    {"foob", "Zm9vYg==", "Zm9vYg"},
    {"fooba", "Zm9vYmE=", "Zm9vYmE"},
    {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
    {"\xFB\xFF\xBF", "+/+/", "-_-_"},
    {"\x00\x00\x00\xFF"s, "AAAA/w==", "AAAA_w"},
};

TEST(Base64, EncodesAndDecodesTheReferenceVectors) {
    for (const auto& vector : kVectors) {
        EXPECT_EQ(base64Encode(vector.bytes), vector.standard);
        EXPECT_EQ(base64UrlEncode(vector.bytes), vector.url);
        EXPECT_EQ(base64Decode(vector.standard), vector.bytes) << vector.standard;
        EXPECT_EQ(base64UrlDecode(vector.url), vector.bytes) << vector.url;
        // A padded text is a base64url text too, and so is a standard-alphabet one.
        EXPECT_EQ(base64UrlDecode(vector.standard), vector.bytes) << vector.standard;
    }
}

TEST(Base64, EveryByteValueRoundTrips) {
    std::string all;
    for (int value = 0; value < 256; ++value) all += static_cast<char>(value);
    for (std::size_t length = 0; length <= all.size(); length += 17) {
        const std::string bytes = all.substr(all.size() - length);
        EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes);
        EXPECT_EQ(base64UrlDecode(base64UrlEncode(bytes)), bytes);
    }
}

TEST(Base64, StandardDecodingIsStrict) {
    for (const std::string& bad : {
             "Zg"s,          // padding is required
             "Zg="s,         // incomplete padding
             "Zm9vY"s,       // a lone sextet can hold no byte
             "Zm9vY==="s,    // three padding characters
             "===="s,        //
             "Zg==Zg=="s,    // padding before the end
             "Zm=v"s,        // "=" in the middle of a group
             "=m9v"s,        //
             "Zm9v "s,       // white space
             " Zm9v"s,       //
             "Zm9v\n"s,      // line break
             "Zm9v\r\nYmFy"s,
             "Zm\t9v"s,      // tab
             "Zm9-"s,        // URL-safe alphabet
             "Zm9_"s,        //
             "Zm9*"s,        // outside both alphabets
             "Zm9\xC3\xA9"s, // non-ASCII
             "Zm9\0"s,       // NUL
             "Zh=="s,        // unused bits set ("f" is only "Zg==")
             "Zm9="s,        // unused bits set ("fo" is only "Zm8=")
         }) {
        EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
    }
}

TEST(Base64, UrlDecodingMakesPaddingOptionalAndNothingElse) {
    // Padding is completed to a multiple of four characters, so padding that
    // is present must sit at the end; both alphabets are read.
    const struct {
        std::string text;
        std::optional<std::string> bytes;
    } cases[] = {
        {"Zm8", "fo"},
        {"Zm8=", "fo"},
        {"Zg", "f"},
        {"Zg=", "f"},
        {"Zg==", "f"},
        {"-_+/", "\xFB\xFF\xBF"},
        {"", ""},
        {"Z", std::nullopt},               // one character holds no byte
        {"Zm9vY", std::nullopt},           //
        {"Zg===", std::nullopt},           // too much padding
        {"Zm9v=", std::nullopt},           // "=" after a complete group
        {"Zm=9v", std::nullopt},           // "=" in the middle
        {"Zm9v=Ym", std::nullopt},         //
        {"Zm9v Ym", std::nullopt},         // white space
        {"Zm9v\nYmFy", std::nullopt},      // line break
        {"Zm9vYmFy\n", std::nullopt},      // trailing line break
        {"Zm9vYmFy\r\n", std::nullopt},    //
        {"Zh", std::nullopt},              // unused bits set
        {"Zm9.", std::nullopt},            // outside both alphabets
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(base64UrlDecode(testCase.text), testCase.bytes) << testCase.text;
    }
}

}  // namespace
}  // namespace tarnel
