#include "app/catalog/manifest_content_floor.hpp"

#include <gtest/gtest.h>

#include <variant>

#include "app/catalog/manifest_errors.hpp"
#include "common/base/digest.hpp"

namespace tarnel {
namespace {

using Case = SignedTransportManifestError::Case;

const std::string A = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string B = "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb";
const std::string C = "c0ffee00c0ffee00c0ffee00c0ffee00c0ffee00c0ffee00c0ffee00c0ffee00";
const std::string X = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

ManifestContentFloor floorOf(std::int64_t revision, const std::string& legacy,
                             std::optional<std::string> compact = std::nullopt) {
    return ManifestContentFloor::validated(revision, legacy, std::move(compact));
}

std::string describe(const ManifestContentFloor& floor) {
    return "{" + std::to_string(floor.revision()) + ", " + floor.legacySHA256().substr(0, 4) + ", " +
           (floor.compactV2SHA256() ? floor.compactV2SHA256()->substr(0, 4) : "none") + "}";
}

// The floor `advanced` returns, or the case it throws.
using Outcome = std::variant<ManifestContentFloor, Case>;

Outcome advance(const ManifestContentFloor& candidate, std::optional<std::int64_t> savedRevision,
                const std::optional<ManifestContentFloor>& savedFloor) {
    try {
        return candidate.advanced(savedRevision, savedFloor);
    } catch (const SignedTransportManifestError& error) {
        return error.errorCase();
    }
}

std::string describe(const Outcome& outcome) {
    if (const auto* floor = std::get_if<ManifestContentFloor>(&outcome)) return describe(*floor);
    return std::get<Case>(outcome) == Case::invalidManifest ? "invalidManifest" : "manifestPairMismatch";
}

TEST(ManifestContentFloor, AdvancesOnlyForwardAndPinsTheContentOfARevision) {
    const struct {
        const char* name;
        std::optional<std::int64_t> savedRevision;
        std::optional<ManifestContentFloor> savedFloor;
        ManifestContentFloor candidate;
        Outcome expected;
    } cases[] = {
        {"nothing saved", std::nullopt, std::nullopt, floorOf(0, A), floorOf(0, A)},
        {"saved revision without a floor, same revision", 7, std::nullopt, floorOf(7, A), floorOf(7, A)},
        {"saved revision without a floor, other content is not judged", 7, std::nullopt, floorOf(7, C, B),
         floorOf(7, C, B)},
        {"saved revision without a floor, older", 7, std::nullopt, floorOf(6, A), Case::invalidManifest},
        {"compact hash added once", 7, floorOf(7, A), floorOf(7, A, B), floorOf(7, A, B)},
        {"other compact hash at the same revision", 7, floorOf(7, A, B), floorOf(7, A, C),
         Case::manifestPairMismatch},
        {"v1 after v2 keeps the compact hash", 7, floorOf(7, A, B), floorOf(7, A), floorOf(7, A, B)},
        {"same v2 again", 7, floorOf(7, A, B), floorOf(7, A, B), floorOf(7, A, B)},
        {"other legacy hash at the same revision", 7, floorOf(7, A), floorOf(7, C), Case::manifestPairMismatch},
        {"other legacy hash, same compact hash", 7, floorOf(7, A, B), floorOf(7, C, B),
         Case::manifestPairMismatch},
        {"newer revision replaces both hashes", 7, floorOf(7, A, B), floorOf(8, X), floorOf(8, X)},
        {"older revision", 7, floorOf(7, A), floorOf(6, A), Case::invalidManifest},
        {"older revision, same hashes as the floor", 7, floorOf(7, A, B), floorOf(6, A, B), Case::invalidManifest},
        {"saved floor of another revision, older candidate", 5, floorOf(7, A), floorOf(4, A),
         Case::invalidManifest},
        {"saved floor of another revision, equal candidate", 5, floorOf(7, A), floorOf(7, A),
         Case::invalidManifest},
        {"saved floor of another revision, newer candidate", 5, floorOf(7, A), floorOf(9, A),
         Case::invalidManifest},
        {"saved floor of a lower revision, newer candidate", 9, floorOf(7, A), floorOf(10, A),
         Case::invalidManifest},
        {"saved floor without a saved revision", std::nullopt, floorOf(7, A), floorOf(8, A),
         Case::invalidManifest},
        {"negative saved revision", -1, std::nullopt, floorOf(0, A), Case::invalidManifest},
        {"negative saved revision, newer candidate", -5, std::nullopt, floorOf(3, A), Case::invalidManifest},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const Outcome outcome = advance(testCase.candidate, testCase.savedRevision, testCase.savedFloor);
        EXPECT_EQ(describe(outcome), describe(testCase.expected));
        EXPECT_EQ(outcome, testCase.expected);
    }
}

// The floor as the application keeps it across downloads of revision 7.
TEST(ManifestContentFloor, ASequenceOfDownloadsOfOneRevision) {
    ManifestContentFloor saved = floorOf(7, A).advanced(7, std::nullopt);
    EXPECT_EQ(saved, floorOf(7, A));
    saved = floorOf(7, A, B).advanced(saved.revision(), saved);
    EXPECT_EQ(saved, floorOf(7, A, B));
    try {
        (void)floorOf(7, A, C).advanced(saved.revision(), saved);
        ADD_FAILURE() << "a second compact content was accepted";
    } catch (const SignedTransportManifestError& error) {
        EXPECT_EQ(error.errorCase(), Case::manifestPairMismatch);
        EXPECT_EQ(error.message(), "The equal-revision v1 and v2 transport manifests disagree.");
    }
    EXPECT_EQ(floorOf(7, A).advanced(saved.revision(), saved), floorOf(7, A, B));
    try {
        (void)floorOf(6, A).advanced(saved.revision(), saved);
        ADD_FAILURE() << "an older manifest was accepted";
    } catch (const SignedTransportManifestError& error) {
        EXPECT_EQ(error.errorCase(), Case::invalidManifest);
        EXPECT_EQ(error.message(),
                  "The signed transport manifest is invalid, expired, or older than the saved revision.");
    }
    EXPECT_EQ(floorOf(8, X).advanced(saved.revision(), saved), floorOf(8, X));
}

TEST(ManifestContentFloor, MergingEqualRevisionsRefusesFloorsOfOtherRevisions) {
    EXPECT_EQ(floorOf(7, A, B).mergedForEqualRevision(floorOf(7, A)), floorOf(7, A, B));
    EXPECT_EQ(floorOf(7, A).mergedForEqualRevision(floorOf(7, A)), floorOf(7, A));
    for (const std::int64_t savedRevision : {6, 8}) {
        try {
            (void)floorOf(7, A).mergedForEqualRevision(floorOf(savedRevision, A));
            ADD_FAILURE() << "merged revision " << savedRevision << " into 7";
        } catch (const SignedTransportManifestError& error) {
            EXPECT_EQ(error.errorCase(), Case::manifestPairMismatch);
        }
    }
}

TEST(ManifestContentFloor, ValidatedRefusesNegativeRevisionsAndMalformedHashes) {
    EXPECT_EQ(floorOf(0, A).revision(), 0);
    const ManifestContentFloor full = floorOf(INT64_MAX, A, B);
    EXPECT_EQ(full.revision(), INT64_MAX);
    EXPECT_EQ(full.legacySHA256(), A);
    EXPECT_EQ(full.compactV2SHA256(), B);
    EXPECT_EQ(floorOf(1, A), floorOf(1, A));
    EXPECT_NE(floorOf(1, A), floorOf(1, A, A));
    EXPECT_NE(floorOf(1, A, B), floorOf(1, A, C));

    std::string upper = A;
    for (char& character : upper) character = static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
    const std::string malformed[] = {
        upper,
        "0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef",
        A.substr(0, 63),
        A + "0",
        A + "\n",
        "\n" + A.substr(0, 63),
        A.substr(0, 63) + "\n",
        A.substr(0, 63) + " ",
        A.substr(0, 63) + "g",
        std::string(A.substr(0, 32)) + '\0' + A.substr(33),
        "",
        sha256Hex("x").substr(0, 62) + "\xc3\xa9",  // 64 bytes, one of them non-ASCII
    };
    for (const std::string& hash : malformed) {
        SCOPED_TRACE(testing::PrintToString(hash));
        EXPECT_FALSE(isLowercaseSha256Hex(hash));
        EXPECT_THROW((void)floorOf(1, hash), SignedTransportManifestError);
        EXPECT_THROW((void)floorOf(1, A, hash), SignedTransportManifestError);
    }
    for (const std::string& hash : {A, B, C, X, sha256Hex("")}) EXPECT_TRUE(isLowercaseSha256Hex(hash)) << hash;
    try {
        (void)floorOf(-1, A);
        ADD_FAILURE() << "a negative revision was accepted";
    } catch (const SignedTransportManifestError& error) {
        EXPECT_EQ(error.errorCase(), Case::invalidManifest);
    }
}

}  // namespace
}  // namespace tarnel
