#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "platform/ipc/interface.hpp"
#include "platform/ipc/wire.hpp"

namespace tarnel::ipc {
namespace {

// CBOR written out by hand, so that a test can say exactly which bytes
// arrive, including forms that the writer never produces.
std::string head(unsigned major, std::uint64_t value) {
    std::string out;
    const auto type = static_cast<char>(major << 5);
    if (value < 24) {
        out += static_cast<char>(type | static_cast<char>(value));
        return out;
    }
    int size = value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : value <= 0xFFFFFFFF ? 4 : 8;
    out += static_cast<char>(type | static_cast<char>(size == 1 ? 24 : size == 2 ? 25 : size == 4 ? 26 : 27));
    for (int shift = (size - 1) * 8; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
    return out;
}
std::string text(const std::string& value) { return head(3, value.size()) + value; }
std::string bytes(const std::string& value) { return head(2, value.size()) + value; }
// A request payload for `echo` whose argument map is `entries` (already
// encoded) with `count` entries; keys in the order the writer sorts them.
std::string requestWith(std::uint64_t count, const std::string& entries) {
    return head(5, 3) + text("arguments") + head(5, count) + entries + text("kind") + text("request") +
           text("selector") + text("echo");
}
std::string payloadOf(const std::string& frame) { return frame.substr(4); }

TEST(IPCFrames, HandWrittenCBORIsWhatTheWriterProduces) {
    // The test's own encoder agrees with the writer, so the cases below
    // differ from valid frames only where they say.
    const Request request{"echo", {{"a", std::int64_t{1}}, {"b", Data("xy")}, {"c", std::string("é")}, {"d", true}}};
    const std::string expected = requestWith(4, text("a") + head(0, 1) + text("b") + bytes("xy") + text("c") +
                                                    text("é") + text("d") + "\xF5");
    EXPECT_EQ(payloadOf(encodeRequest(request)), expected);
    EXPECT_EQ(decodeRequest(expected), request);

    const std::string frame = encodeReply({{"x", 1.5}});
    ASSERT_GE(frame.size(), 4u);
    EXPECT_EQ(frame.substr(0, 4), std::string("\0\0\0", 3) + static_cast<char>(frame.size() - 4));
    EXPECT_EQ(payloadOf(frame), head(5, 2) + text("kind") + text("reply") + text("values") + head(5, 1) + text("x") +
                                    std::string("\xFA\x3F\xC0\x00\x00", 5));
}

TEST(IPCFrames, DoublesTravelBitForBit) {
    const double values[] = {1234.000000001,
                             -0.0,
                             0.1,
                             1.5,
                             std::numeric_limits<double>::denorm_min(),
                             std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()};
    for (const double value : values) {
        const Dictionary back = decodeReply(payloadOf(encodeReply({{"n", value}})));
        ASSERT_NE(find<double>(back, "n"), nullptr) << value;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(*find<double>(back, "n")), std::bit_cast<std::uint64_t>(value)) << value;
    }
    const Dictionary nan = decodeReply(payloadOf(encodeReply({{"n", std::numeric_limits<double>::quiet_NaN()}})));
    EXPECT_TRUE(std::isnan(*find<double>(nan, "n")));
}

TEST(IPCFrames, TheReaderRefusesEveryOtherForm) {
    const std::string tooDeep = [] {
        std::string nested;
        for (int i = 0; i < 200000; ++i) nested += head(5, 1) + text("a");  // a bomb for a recursive reader
        return requestWith(1, text("a") + nested + head(0, 1));
    }();
    const struct {
        const char* name;
        std::string payload;
    } cases[] = {
        {"repeated key", requestWith(2, text("a") + head(0, 1) + text("a") + head(0, 2))},
        {"null value", requestWith(1, text("a") + "\xF6")},
        {"array value", requestWith(1, text("a") + head(4, 1) + head(0, 1))},
        {"map value", requestWith(1, text("a") + head(5, 0))},
        {"nesting without bound", tooDeep},
        {"integer below the 64-bit range", requestWith(1, text("a") + std::string("\x3B\x80\0\0\0\0\0\0\0", 9))},
        {"integer above the 64-bit range", requestWith(1, text("a") + head(0, 0xFFFFFFFFFFFFFFFF))},
        {"integer in a longer form", requestWith(1, text("a") + std::string("\x18\x05", 2))},
        {"float in a longer form", requestWith(1, text("a") + std::string("\xFB\x3F\xF8\0\0\0\0\0\0", 9))},
        {"text of indefinite length", requestWith(1, text("a") + "\x7F" + text("x") + "\xFF")},
        {"tagged byte string", requestWith(1, text("a") + "\xC2" + bytes("x"))},
        {"text value not UTF-8", requestWith(1, text("a") + text("\xC3\x28"))},
        {"key not UTF-8", requestWith(1, text("\xFF") + head(0, 1))},
        {"integer key", requestWith(1, head(0, 1) + head(0, 1))},
        {"trailing byte", requestWith(0, "") + std::string(1, '\0')},
        {"truncated", requestWith(1, text("a") + head(0, 1)).substr(0, 20)},
        {"keys out of order", head(5, 3) + text("kind") + text("request") + text("arguments") + head(5, 0) +
                                  text("selector") + text("echo")},
        {"another kind", head(5, 2) + text("kind") + text("reply") + text("values") + head(5, 0)},
        {"an extra key", head(5, 4) + text("arguments") + head(5, 0) + text("extra") + head(0, 1) + text("kind") +
                             text("request") + text("selector") + text("echo")},
        {"no selector", head(5, 2) + text("arguments") + head(5, 0) + text("kind") + text("request")},
        {"selector not text", head(5, 3) + text("arguments") + head(5, 0) + text("kind") + text("request") +
                                  text("selector") + head(0, 7)},
        {"not a map", text("request")},
        {"empty", ""},
    };
    for (const auto& item : cases) {
        EXPECT_THROW((void)decodeRequest(item.payload), FrameError) << item.name;
    }
}

TEST(IPCFrames, TheWriterRefusesWhatCannotTravel) {
    EXPECT_THROW((void)encodeRequest({"echo", {{"a", std::string("\xC3\x28")}}}), FrameError);
    EXPECT_THROW((void)encodeRequest({"echo", {{"\xFF", true}}}), FrameError);
    EXPECT_THROW((void)encodeRequest({"\xFF", {}}), FrameError);
    // The cap counts the payload: the largest data that fits, and one byte more.
    const std::size_t overhead = payloadOf(encodeReply({{"d", Data()}})).size();
    const std::size_t largest = maximumFramePayload - overhead - 4;  // a longer length field from 65536 bytes on
    EXPECT_EQ(encodeReply({{"d", Data(std::string(largest, 'x'))}}).size(), 4 + maximumFramePayload);
    EXPECT_THROW((void)encodeReply({{"d", Data(std::string(largest + 1, 'x'))}}), FrameError);
}

TEST(IPCFrames, HelloCarriesTheWireVersion) {
    EXPECT_NO_THROW(decodeHello(payloadOf(encodeHello())));
    EXPECT_THROW(decodeHello(head(5, 2) + text("kind") + text("hello") + text("version") + head(0, 2)), FrameError);
    EXPECT_THROW(decodeHello(payloadOf(encodeReply({}))), FrameError);
}

TEST(IPCInterface, ValidatesSelectorsKindsAndNil) {
    const Interface interface({
        {"op",
         {{"data", Kind::data, false},
          {"text", Kind::text, true},
          {"count", Kind::integer, true},
          {"deadline", Kind::number, true},
          {"flag", Kind::boolean, true}}},
        {"none", {}},
    });
    const auto with = [](Dictionary arguments) {
        arguments.emplace("data", Data());
        return Request{"op", std::move(arguments)};
    };
    // Accepted, with nil for every nullable argument.
    EXPECT_EQ(interface.validate(with({})), with({}));
    EXPECT_EQ(interface.validate({"none", {}}), (Request{"none", {}}));
    // A number sent as an integer is that double, where a double holds it exactly.
    const Request widened = interface.validate(with({{"deadline", std::int64_t{147}}}));
    ASSERT_NE(find<double>(widened.arguments, "deadline"), nullptr);
    EXPECT_EQ(*find<double>(widened.arguments, "deadline"), 147.0);
    EXPECT_EQ(*find<double>(interface.validate(with({{"deadline", std::int64_t{-(1LL << 53)}}})).arguments,
                            "deadline"),
              -9007199254740992.0);

    const struct {
        const char* name;
        Request request;
    } refused[] = {
        {"unknown selector", {"other", {}}},
        {"non-nullable nil", {"op", {}}},
        {"text where data is expected", {"op", {{"data", std::string("x")}}}},
        {"data where text is expected", with({{"text", Data("x")}})},
        {"float where an integer is expected", with({{"count", 1.0}})},
        {"boolean where a number is expected", with({{"deadline", true}})},
        {"integer that no double holds", with({{"deadline", std::int64_t{(1LL << 53) + 1}}})},
        {"integer where a boolean is expected", with({{"flag", std::int64_t{1}}})},
        {"argument the operation does not take", with({{"extra", true}})},
    };
    for (const auto& item : refused) {
        EXPECT_THROW((void)interface.validate(item.request), FrameError) << item.name;
    }
    EXPECT_THROW(Interface({{"op", {}}, {"op", {}}}), std::invalid_argument);
    EXPECT_THROW(Interface({{"op", {{"a", Kind::text, false}, {"a", Kind::data, false}}}}), std::invalid_argument);
}

TEST(IPCValues, NilAndDefaults) {
    const Dictionary values{{"empty", Data()},
                            {"text", std::string("t")},
                            {"number", 2.5},
                            {"integer", std::int64_t{35}},
                            {"beyondDoubles", (std::int64_t{1} << 53) + 1}};
    EXPECT_NE(find<Data>(values, "empty"), nullptr);
    EXPECT_EQ(find<Data>(values, "missing"), nullptr);
    EXPECT_EQ(find<Data>(values, "text"), nullptr);
    EXPECT_EQ(textOrEmpty(values, "text"), "t");
    EXPECT_EQ(textOrEmpty(values, "missing"), "");
    EXPECT_EQ(numberOrZero(values, "number"), 2.5);
    EXPECT_EQ(numberOrZero(values, "missing"), 0.0);
    // An integer is read as the number it is, when a double holds it exactly.
    EXPECT_EQ(numberOrZero(values, "integer"), 35.0);
    EXPECT_EQ(numberOrZero(values, "beyondDoubles"), 0.0);
    EXPECT_EQ(numberOrZero(values, "text"), 0.0);
}

}  // namespace
}  // namespace tarnel::ipc
