#include "common/base/json_document.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tarnel::json {
namespace {

struct Outcome {
    std::optional<Value> value;
    JsonError::Case failure = JsonError::Case::invalidSyntax;
    std::string detail;
};

Outcome parsed(std::string_view text, std::size_t depth) {
    try {
        return {parse(text, TopLevel::any, depth), JsonError::Case::invalidSyntax, {}};
    } catch (const JsonError& error) {
        return {std::nullopt, error.errorCase(), error.detail()};
    }
}

// Every text reads as json::parse reads it: the same error where parse
// refuses, else the same value, the same canonical text and the same depth.
TEST(JsonDocument, ReadsEveryTextAsParseDoes) {
    std::string manyKeys = "{";
    for (int key = 0; key < 40; ++key) manyKeys += "\"k" + std::to_string(key) + "\":" + std::to_string(key) + ",";
    const std::string texts[] = {
        R"({"b":[1,-0,0.5,-2.5e-3,true,false,null],"a":{"z":"x\/y","y":"\u00e9\ud83d\ude00\n\"\\"},"é":""})",
        R"([18446744073709551615,-9223372036854775808,1e-400,-1e-400,4.9e-324,1E2])",
        R"(  "a string"  )",
        "[[[[]]]]",
        R"({"a":1,"\u0061":2})",
        R"({"x":{"a":1,"a":2}})",
        manyKeys + "\"k39\":0}",  // the repeated key found among many
        manyKeys + "\"k40\":[]}",
        "[18446744073709551616]",
        "1e400",
        "{\"a\":1,}",
        std::string("[1]\0", 4),
        "\xEF\xBB\xBF{}",
        "[\"\xC3\x28\"]",
        R"(["\ud800"])",
        "",
    };
    for (const std::string& text : texts) {
        for (const std::size_t depth : {kDefaultMaximumDepth, std::size_t{2}}) {
            SCOPED_TRACE(text + " at depth " + std::to_string(depth));
            const Outcome expected = parsed(text, depth);
            try {
                const Document document = Document::parse(text, TopLevel::any, depth);
                ASSERT_TRUE(expected.value) << "accepted what parse refuses";
                const Document::Node root = document.root();
                EXPECT_EQ(root.toValue(), *expected.value);
                std::string canonical;
                root.appendCanonical(canonical);
                EXPECT_EQ(canonical, writeCanonical(*expected.value));
                EXPECT_EQ(root.nestingDepth(), nestingDepth(*expected.value));
            } catch (const JsonError& error) {
                ASSERT_FALSE(expected.value) << "refused what parse accepts: " << error.message();
                EXPECT_EQ(error.errorCase(), expected.failure);
                EXPECT_EQ(error.detail(), expected.detail);
            }
        }
    }
}

TEST(JsonDocument, FindsMembersAndVisitsThemInKeyOrder) {
    const std::string text = R"({"b":{"y":2,"x":1},"a":[10,"t"],"c\n":null})";
    const Document document = Document::parse(text);
    const Document::Node root = document.root();
    std::vector<std::string> keys;
    root.forEachMember([&](std::string_view key, const Document::Node&) { keys.emplace_back(key); });
    EXPECT_EQ(keys, (std::vector<std::string>{"a", "b", "c\n"}));
    ASSERT_TRUE(root.find("b"));
    EXPECT_EQ(root.find("b")->find("x")->unsignedInteger(), 1u);
    EXPECT_EQ(root.find("a")->elementAt(1).string(), "t");
    EXPECT_TRUE(root.find("c\n")->isNull());
    EXPECT_FALSE(root.find("d"));
    EXPECT_FALSE(root.find("a")->find("b"));  // an array has no members

    // The members of one object merged over another's, as if copied over it.
    const Document defaults = Document::parse(R"({"a":0,"port":443,"server":"s"})");
    const Document values = Document::parse(R"({"port":8443,"uuid":"u"})");
    std::vector<std::string> merged;
    forEachMergedMember(values.root(), defaults.root(), [&](std::string_view key, const Document::Node& member) {
        std::string written;
        member.appendCanonical(written);
        merged.push_back(std::string(key) + "=" + written);
    });
    EXPECT_EQ(merged, (std::vector<std::string>{"a=0", "port=8443", "server=\"s\"", "uuid=\"u\""}));
}

// The typed reads of a member at hand agree with ObjectReader::read, for a
// json::Value and for a document's node alike: the same value, and false
// exactly where read throws.
TEST(JsonDocument, TypedReadsAgreeWithTheObjectReader) {
    const std::string text =
        R"({"s":"x","i":-3,"u":18446744073709551615,"v":7,"f":1.0,"b":true,"n":null,"a":["p","q"],"m":["p",1]})";
    const Document document = Document::parse(text);
    const Value value = parse(text);
    const ObjectReader reader(value);
    const auto agrees = [&](auto field) {
        for (const char* key : {"s", "i", "u", "v", "f", "b", "n", "a", "m", "absent"}) {
            SCOPED_TRACE(key);
            auto read = field;
            auto fromValue = field;
            auto fromDocument = field;
            bool threw = false;
            try {
                reader.read(key, read);
            } catch (const JsonError&) {
                threw = true;
            }
            EXPECT_EQ(ObjectReader::tryRead(value.contains(key) ? &value.at(key) : nullptr, fromValue), !threw);
            EXPECT_EQ(Document::Node::tryRead(document.root().find(key), fromDocument), !threw);
            if (!threw) {
                EXPECT_EQ(fromValue, read);
                EXPECT_EQ(fromDocument, read);
            }
        }
    };
    agrees(std::string());
    agrees(std::optional<std::string>());
    agrees(std::int64_t{0});
    agrees(std::optional<std::int64_t>());
    agrees(false);
    agrees(std::optional<bool>());
    agrees(std::vector<std::string>());
    agrees(std::optional<std::vector<std::string>>());
}

}  // namespace
}  // namespace tarnel::json
