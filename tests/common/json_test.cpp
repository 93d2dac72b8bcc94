#include "common/base/json.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <sstream>

#include "common/base/files.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::json {
namespace {

JsonError::Case parseFailure(std::string_view text, TopLevel topLevel = TopLevel::object,
                             std::size_t depth = kDefaultMaximumDepth) {
    try {
        (void)parse(text, topLevel, depth);
    } catch (const JsonError& error) {
        return error.errorCase();
    }
    ADD_FAILURE() << "parsed: " << text;
    return JsonError::Case::nonFiniteNumber;
}

TEST(JsonReader, RefusesWhatIsNotStrictJson) {
    using C = JsonError::Case;
    const struct {
        std::string text;
        TopLevel topLevel;
        C expected;
    } cases[] = {
        {"5", TopLevel::object, C::wrongTopLevel},
        {"[1]", TopLevel::object, C::wrongTopLevel},
        {"{}", TopLevel::array, C::wrongTopLevel},
        {R"({"a":1,"a":2})", TopLevel::object, C::duplicateKey},
        {R"({"x":{"a":1,"b":{"a":2,"a":3}}})", TopLevel::object, C::duplicateKey},
        {R"({"a":1,"\u0061":2})", TopLevel::object, C::duplicateKey},        // the same key, escaped
        {R"({"a":{"a":1},"b":[{"a":2}],"a":3})", TopLevel::object, C::duplicateKey},  // after nested objects
        {"{\"a\":\"\xC3\x28\"}", TopLevel::object, C::invalidUTF8},
        {"{\"a\":\"\xED\xA0\x80\"}", TopLevel::object, C::invalidUTF8},  // encoded surrogate
        {"{\"a\":\"\xC0\xAF\"}", TopLevel::object, C::invalidUTF8},      // overlong "/"
        {R"({"a":"\ud800"})", TopLevel::object, C::invalidSyntax},       // lone escaped surrogate
        {"{\"a\":1,}", TopLevel::object, C::invalidSyntax},
        {"{} {}", TopLevel::object, C::invalidSyntax},
        {"{/*c*/}", TopLevel::object, C::invalidSyntax},
        {"", TopLevel::any, C::invalidSyntax},
        {"1e400", TopLevel::any, C::invalidSyntax},  // beyond a double
        {"[18446744073709551616]", TopLevel::array, C::numberOutOfRange},  // beyond 64 bits
        {"[-9223372036854775809]", TopLevel::array, C::numberOutOfRange},
        {"\xEF\xBB\xBF{}", TopLevel::object, C::invalidSyntax},  // byte-order mark
        {std::string("1\0{}", 4), TopLevel::any, C::invalidSyntax},  // a NUL byte does not end the text
        {std::string("[1]\0", 4), TopLevel::array, C::invalidSyntax},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseFailure(c.text, c.topLevel), c.expected) << c.text;
    }
}

TEST(JsonReader, WideIntegersCanBeReadAsDoublesWhenAskedFor) {
    const auto wide = [](std::string_view text) {
        return parse(text, TopLevel::array, kDefaultMaximumDepth, WideIntegers::asDouble);
    };
    const Value value = wide("[18446744073709551616, -9223372036854775809, 18446744073709551615, 2]");
    EXPECT_TRUE(value[0].is_number_float());
    EXPECT_EQ(value[0].get<double>(), 18446744073709551616.0);
    EXPECT_EQ(value[1].get<double>(), -9223372036854775808.0);
    // What fits 64 bits stays an integer.
    EXPECT_TRUE(value[2].is_number_unsigned());
    EXPECT_TRUE(value[3].is_number_integer());
    // Beyond a double is still no JSON number.
    EXPECT_THROW((void)wide("[1" + std::string(400, '0') + "]"), JsonError);
}

TEST(JsonReader, AcceptsWellFormedTextAndSameKeysInSiblingObjects) {
    const auto value = parse(R"({"a":{"k":1},"b":{"k":2},"c":[{"k":3},{"k":4}],"é":"ü"})");
    EXPECT_EQ(value["b"]["k"], 2);
    EXPECT_EQ(parse("5", TopLevel::any), 5);
}

TEST(JsonReader, CapsNestingDepth) {
    const std::string atCap = std::string(4, '[') + std::string(4, ']');
    EXPECT_NO_THROW((void)parse(atCap, TopLevel::array, 4));
    EXPECT_EQ(parseFailure("[" + atCap + "]", TopLevel::array, 4), JsonError::Case::nestingTooDeep);
    const std::string deep(100000, '[');
    EXPECT_EQ(parseFailure(deep, TopLevel::array), JsonError::Case::nestingTooDeep);
}

TEST(JsonReader, TypedGettersRefuseConversions) {
    const auto value = parse(
        R"({"i":443,"f":443.5,"whole":1.0,"neg":-1,"big":9223372036854775808,)"
        R"("s":"x","b":true,"n":null,"min":-9223372036854775808})");
    const ObjectReader reader(value);
    EXPECT_EQ(reader.integer<std::int64_t>("i"), 443);
    EXPECT_EQ(reader.integer<std::uint16_t>("i"), 443);
    EXPECT_EQ(reader.integer<std::int64_t>("min"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(reader.number("f"), 443.5);
    EXPECT_EQ(reader.number("i"), 443.0);
    EXPECT_FALSE(reader.optionalString("n").has_value());
    EXPECT_FALSE(reader.optionalString("absent").has_value());

    const auto failure = [&](auto read) -> JsonError::Case {
        try {
            read();
        } catch (const JsonError& error) {
            return error.errorCase();
        }
        return JsonError::Case::nonFiniteNumber;
    };
    using C = JsonError::Case;
    EXPECT_EQ(failure([&] { (void)reader.integer<std::int64_t>("f"); }), C::typeMismatch);
    EXPECT_EQ(failure([&] { (void)reader.integer<std::int64_t>("whole"); }), C::typeMismatch);
    EXPECT_EQ(failure([&] { (void)reader.integer<std::int64_t>("big"); }), C::numberOutOfRange);
    EXPECT_EQ(failure([&] { (void)reader.integer<std::uint64_t>("neg"); }), C::numberOutOfRange);
    EXPECT_EQ(failure([&] { (void)reader.integer<std::uint8_t>("i"); }), C::numberOutOfRange);
    EXPECT_EQ(failure([&] { (void)reader.integer<int>("s"); }), C::typeMismatch);
    EXPECT_EQ(failure([&] { (void)reader.boolean("i"); }), C::typeMismatch);
    EXPECT_EQ(failure([&] { (void)reader.string("b"); }), C::typeMismatch);
    EXPECT_EQ(failure([&] { (void)reader.string("n"); }), C::missingKey);
    EXPECT_EQ(failure([&] { (void)reader.optionalBoolean("s"); }), C::typeMismatch);
    EXPECT_EQ(failure([&] { (void)reader.number("s"); }), C::typeMismatch);
}

TEST(JsonReader, AFallbackObjectSuppliesTheKeysTheObjectLacks) {
    const Value top = parse(R"({"port":8443,"uuid":null,"z":1})");
    const Value base = parse(R"({"server":"a.example","port":443,"uuid":"u-1","alpn":["h2"]})");
    const ObjectReader reader(top, &base, "endpoint");
    EXPECT_EQ(reader.integer<std::int64_t>("port"), 8443);
    EXPECT_EQ(reader.string("server"), "a.example");
    EXPECT_EQ(reader.optionalString("uuid"), std::nullopt);  // null in the object hides the fallback's
    EXPECT_EQ(reader.stringArray("alpn"), std::vector<std::string>{"h2"});
    std::vector<std::string> keys;
    reader.forEachMember([&](std::string_view key, const Value&) { keys.emplace_back(key); });
    EXPECT_EQ(keys, (std::vector<std::string>{"alpn", "port", "server", "uuid", "z"}));
    try {
        (void)reader.string("uuid");
        ADD_FAILURE() << "read a null member";
    } catch (const JsonError& error) {
        EXPECT_EQ(error.errorCase(), JsonError::Case::missingKey);
        EXPECT_EQ(error.detail(), "endpoint.uuid");
    }
}

TEST(JsonReader, StringArraysNameTheElementThatIsNotAString) {
    const auto value = parse(R"({"alpn":["h2","http/1.1"],"empty":[],"mixed":["h2",3],"text":"h2","n":null})");
    const ObjectReader reader(value, "endpoint");
    EXPECT_EQ(reader.stringArray("alpn"), (std::vector<std::string>{"h2", "http/1.1"}));
    EXPECT_EQ(reader.optionalStringArray("empty"), std::vector<std::string>{});
    EXPECT_EQ(reader.optionalStringArray("n"), std::nullopt);
    EXPECT_EQ(reader.optionalStringArray("absent"), std::nullopt);
    const auto failure = [&](auto read) -> std::pair<JsonError::Case, std::string> {
        try {
            read();
        } catch (const JsonError& error) {
            return {error.errorCase(), error.detail()};
        }
        return {JsonError::Case::nonFiniteNumber, "read"};
    };
    using C = JsonError::Case;
    EXPECT_EQ(failure([&] { (void)reader.stringArray("mixed"); }),
              std::pair(C::typeMismatch, std::string("endpoint.mixed[1]")));
    EXPECT_EQ(failure([&] { (void)reader.optionalStringArray("text"); }),
              std::pair(C::typeMismatch, std::string("endpoint.text")));
    EXPECT_EQ(failure([&] { (void)reader.stringArray("n"); }), std::pair(C::missingKey, std::string("endpoint.n")));
}

TEST(JsonWriters, PrettyEscapesSlashAndSpacesColons) {
    EXPECT_EQ(writePretty(parse(R"({"a":"x/y"})")), "{\n  \"a\" : \"x\\/y\"\n}");
    EXPECT_EQ(writePretty(parse(R"({"a/b":"x/y"})"), Slashes::unescaped), "{\n  \"a/b\" : \"x/y\"\n}");
    EXPECT_EQ(writePretty(parse(R"({"b":[1,{"c":false}],"a":{}})")),
              "{\n  \"a\" : {},\n  \"b\" : [\n    1,\n    {\n      \"c\" : false\n    }\n  ]\n}");
}

TEST(JsonWriters, CanonicalSortsKeysAndKeepsSlash) {
    const auto value = parse(R"({"b":"a/b","a":[1,true,null],"é":"\u0001"})");
    EXPECT_EQ(writeCanonical(value), "{\"a\":[1,true,null],\"b\":\"a/b\",\"\xC3\xA9\":\"\\u0001\"}");
    EXPECT_EQ(writeCanonical(parse(R"({"q":"\"\\\b\f\n\r\t\u001f\u007f"})")),
              "{\"q\":\"\\\"\\\\\\b\\f\\n\\r\\t\\u001f\x7f\"}");
}

TEST(JsonWriters, NumbersHaveOnePinnedForm) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {1.0, "1.0"},       {-0.0, "-0.0"},         {0.1, "0.1"},   {443.5, "443.5"},
        {1e15, "1000000000000000.0"},  {1e16, "1e+16"}, {1.5e300, "1.5e+300"},
        {0.0001, "0.0001"}, {0.00001, "1e-05"}, {123456.789, "123456.789"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(writeCanonical(Value(c.value)), c.text);
    }
    EXPECT_EQ(writeCanonical(parse(R"([9223372036854775807,-9223372036854775808,18446744073709551615])",
                                   TopLevel::array)),
              "[9223372036854775807,-9223372036854775808,18446744073709551615]");
    EXPECT_THROW((void)writeCanonical(Value(std::numeric_limits<double>::infinity())), JsonError);
}

// A document put together piece by piece is the canonical text of the same
// value, escapes and the order of keys included.
TEST(JsonWriters, CanonicalWriterWritesWhatWriteCanonicalWrites) {
    CanonicalWriter writer;
    writer.beginObject();
    writer.key("a\"b");
    writer.beginArray();
    writer.integer(-1);
    writer.string("x/y\n\u00e9");
    writer.value(parse(R"({"k":[1.5,null,{}],"e":[]})"));
    writer.beginObject();
    writer.endObject();
    writer.endArray();
    writer.key("b");
    writer.string(std::string(60, 'z'));
    writer.key("c");
    writer.beginArray();
    writer.endArray();
    writer.endObject();
    const Value same = {{"a\"b", {-1, "x/y\n\u00e9", parse(R"({"k":[1.5,null,{}],"e":[]})"), Value::object()}},
                        {"b", std::string(60, 'z')},
                        {"c", Value::array()}};
    EXPECT_EQ(writer.take(), writeCanonical(same));
}

std::string fixture(std::string_view name) { return testing::readFixture("json/" + std::string(name)); }

// tests/fixtures/json/numbers.txt: the text Python's json.dumps writes for each
// double (make_canonical_fixtures.py beside it): named hard cases, both sides of
// the layout switches, powers of ten and two, random bit patterns and random
// short decimals.
TEST(JsonWriters, CanonicalNumbersMatchPythonForEveryFixtureDouble) {
    std::istringstream lines(fixture("numbers.txt"));
    std::string line;
    std::size_t count = 0;
    std::size_t mismatches = 0;
    while (std::getline(lines, line)) {
        const auto space = line.find(' ');
        ASSERT_EQ(space, 16u) << line;
        const double value = std::bit_cast<double>(static_cast<std::uint64_t>(std::stoull(line.substr(0, 16), nullptr, 16)));
        const std::string expected = line.substr(17);
        if (writeCanonical(Value(value)) != expected && ++mismatches <= 20) {
            ADD_FAILURE() << line << " written as " << writeCanonical(Value(value));
        }
        // The text reads back as the same double.
        const Value reread = parse(expected, TopLevel::any);
        if (!reread.is_number_float() || std::bit_cast<std::uint64_t>(reread.get<double>()) !=
                                             std::bit_cast<std::uint64_t>(value)) {
            ADD_FAILURE() << line << " does not read back";
        }
        ++count;
    }
    EXPECT_GT(count, 4000u);
    EXPECT_EQ(mismatches, 0u);
}

TEST(JsonWriters, CanonicalDocumentMatchesPython) {
    const Value document = parse(fixture("document.input.json"));
    EXPECT_EQ(writeCanonical(document), fixture("document.canonical.json"));
}

TEST(JsonWriters, OrderedKeepsInsertionOrderAndRefusesInvalidUtf8) {
    OrderedValue record;
    record["zeta"] = 1;
    record["alpha"] = "p/q";
    EXPECT_EQ(writeOrdered(record), R"({"zeta":1,"alpha":"p/q"})");
    EXPECT_THROW((void)writeCanonical(Value("\xFF")), JsonError);
}

TEST(JsonWriters, EveryWriterRefusesIllFormedUtf8InKeysAndValues) {
    for (const std::string bad : {"\xFF", "a\xC3", "\xED\xA0\x80", "\xC0\xAF"}) {
        Value inValue{{"k", bad}};
        Value inKey{{bad, 1}};
        OrderedValue orderedValue{{"k", bad}};
        OrderedValue orderedKey{{bad, 1}};
        for (const auto& write : std::vector<std::function<std::string()>>{
                 [&] { return writeCanonical(inValue); }, [&] { return writeCanonical(inKey); },
                 [&] { return writePretty(inValue); }, [&] { return writePretty(inKey); },
                 [&] { return writeOrdered(orderedValue); }, [&] { return writeOrdered(orderedKey); }}) {
            try {
                (void)write();
                ADD_FAILURE() << "wrote ill-formed text";
            } catch (const JsonError& error) {
                EXPECT_EQ(error.errorCase(), JsonError::Case::invalidUTF8);
            }
        }
    }
}

}  // namespace
}  // namespace tarnel::json
