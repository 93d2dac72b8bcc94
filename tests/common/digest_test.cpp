#include "common/base/digest.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <sstream>

#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

std::string bytesFromHex(std::string_view hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    }
    return bytes;
}

std::string joined(const std::vector<std::string>& pieces) {
    return std::accumulate(pieces.begin(), pieces.end(), std::string());
}

TEST(Digest, HexDigitsOfTheDigestOfAbc) {
    const Sha256Digest digest = sha256(std::string_view("abc"));
    const auto digits = sha256HexDigits(digest);
    ASSERT_EQ(digits.size(), 32u);
    for (const auto& pair : digits) EXPECT_EQ(pair.size(), 2u) << pair;
    EXPECT_EQ(digits.front(), "ba");
    EXPECT_EQ(digits.back(), "ad");
    EXPECT_EQ(joined(digits), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Digest, HexDigitsPadAndLowerCaseEveryByte) {
    const std::uint8_t bytes[] = {0x00, 0x0a, 0xf0, 0xff, 0x7b};
    EXPECT_EQ(sha256HexDigits(bytes), (std::vector<std::string>{"00", "0a", "f0", "ff", "7b"}));
    EXPECT_EQ(lowercaseHex(bytes), "000af0ff7b");
    EXPECT_TRUE(sha256HexDigits({}).empty());
}

// Vectors written by tests/fixtures/digest/make_sha256_vectors.py with
// Python's hashlib, confirmed by openssl.
TEST(Digest, MatchesIndependentlyComputedVectors) {
    std::istringstream file(testing::readFixture("digest/sha256_vectors.txt"));
    std::string line;
    int checked = 0;
    while (std::getline(file, line)) {
        if (line.empty() || line.front() == '#') continue;
        std::istringstream fields(line);
        std::size_t count = 0;
        std::string unitHex;
        std::string expected;
        ASSERT_TRUE(fields >> count >> unitHex >> expected) << line;
        const std::string unit = bytesFromHex(unitHex);
        std::string input;
        input.reserve(unit.size() * count);
        for (std::size_t i = 0; i < count; ++i) input += unit;

        EXPECT_EQ(sha256Hex(input), expected) << line.substr(0, 60);
        const auto digest = sha256(std::span(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()));
        EXPECT_EQ(joined(sha256HexDigits(digest)), expected) << line.substr(0, 60);
        // The same bytes in uneven chunks, and again after the hasher restarts.
        Sha256Hasher hasher;
        for (int round = 0; round < 2; ++round) {
            for (std::size_t offset = 0; offset < input.size(); offset += 4093) {
                hasher.update(std::string_view(input).substr(offset, 4093));
            }
            EXPECT_EQ(lowercaseHex(hasher.finish()), expected) << line.substr(0, 60);
        }
        ++checked;
    }
    EXPECT_GT(checked, 0) << "the fixture holds no vectors";
}

}  // namespace
}  // namespace tarnel
