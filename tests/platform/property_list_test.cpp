#include "platform/sysconfig/property_list.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "tests/support/test_support.hpp"

namespace tarnel::sysconfig {
namespace {

using Array = PropertyList::Array;
using Dictionary = PropertyList::Dictionary;
using Data = PropertyList::Data;

// The value that tests/fixtures/plist/make_plist_fixtures.py writes.
PropertyList fixtureConfiguration() {
    return Dictionary{
        {"ServerAddresses", Array{"192.168.1.1", "2001:db8::1"}},
        {"SearchDomains", Array{"corp.example", "B\u00fcro.example"}},
        {"SupplementalMatchOrders", Array{100000, -1, std::numeric_limits<std::int64_t>::max(),
                                          std::numeric_limits<std::int64_t>::min()}},
        {"Weight", 0.1},
        {"Enabled", true},
        {"Disabled", false},
        {"Blob", Data{std::string("\x00\xffplist", 7)}},
        {"Nested", Dictionary{{"Empty", Dictionary{}}, {"List", Array{}}}},
    };
}

std::string failureOf(const std::string& bytes) {
    try {
        (void)parsePropertyList(bytes);
    } catch (const PropertyListError& error) {
        return error.message();
    }
    return "no error";
}

TEST(PropertyList, ReadsTheXmlAndBinaryFormsThatAnotherImplementationWrote) {
    for (const char* fixture : {"plist/dns-configuration.xml", "plist/dns-configuration.bin"}) {
        EXPECT_EQ(parsePropertyList(testing::readFixture(fixture)), fixtureConfiguration()) << fixture;
    }
    EXPECT_EQ(parsePropertyList(testing::readFixture("plist/array.bin")),
              PropertyList(Array{"not", "a", "dictionary"}));
    // A repeated key keeps its last value, as every property-list reader does.
    EXPECT_EQ(parsePropertyList(testing::readFixture("plist/duplicate-key.xml")),
              PropertyList(Dictionary{{"ServerAddresses", "172.19.0.2"}}));
}

TEST(PropertyList, BinaryFormKeepsEveryValueExactly) {
    const PropertyList value = Dictionary{
        {"configuration", fixtureConfiguration()},
        {"reals", Array{-0.0, 1e-300, 123456.789, std::numeric_limits<double>::max()}},
        {"empty", ""},
        {"data", Data{}},
        {"\u043a\u043b\u044e\u0447", Array{Array{Array{}}}},
    };
    EXPECT_EQ(parsePropertyList(writeBinaryPropertyList(value)), value);
    EXPECT_EQ(parsePropertyList(writeBinaryPropertyList(PropertyList(-5))), PropertyList(-5));
    EXPECT_EQ(parsePropertyList(writeBinaryPropertyList(PropertyList("x"))), PropertyList("x"));
}

TEST(PropertyList, EqualityIsByKindAndContents) {
    EXPECT_NE(PropertyList(1), PropertyList(1.0));
    EXPECT_NE(PropertyList(1), PropertyList(true));
    EXPECT_NE(PropertyList("1"), PropertyList(Data{"1"}));
    EXPECT_NE(PropertyList(Array{"a", "b"}), PropertyList(Array{"b", "a"}));
    EXPECT_EQ(PropertyList(Dictionary{{"a", 1}, {"b", Array{2}}}), PropertyList(Dictionary{{"b", Array{2}}, {"a", 1}}));
    EXPECT_NE(PropertyList(Dictionary{{"a", 1}}), PropertyList(Dictionary{{"a", 1}, {"b", 2}}));
    EXPECT_EQ(PropertyList(7).kind(), PropertyList::Kind::integer);
    EXPECT_EQ(*PropertyList(Array{"x"}).get<Array>(), Array{"x"});
    EXPECT_EQ(PropertyList(7).get<std::string>(), nullptr);
}

TEST(PropertyList, RefusesWhatIsNotAPropertyListItCanHold) {
    std::string deep = "<plist version=\"1.0\">";
    for (int level = 0; level < 65; ++level) deep += "<array>";
    for (int level = 0; level < 65; ++level) deep += "</array>";
    deep += "</plist>";
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"text", "hello"},
        {"JSON", "{\"ServerAddresses\": [\"1.1.1.1\"]}"},
        {"truncated binary", testing::readFixture("plist/dns-configuration.bin").substr(0, 40)},
        {"truncated XML", testing::readFixture("plist/dns-configuration.xml").substr(0, 300)},
        {"date", testing::readFixture("plist/date.xml")},
        {"string that is not UTF-8", "<plist version=\"1.0\"><string>\xff\xfe</string></plist>"},
        {"65 nested containers", deep},
    };
    for (const auto& item : cases) {
        EXPECT_EQ(failureOf(item.bytes), "The property list could not be read.") << item.name;
    }
}

TEST(PropertyList, RefusesToWriteTextAPropertyListCannotHold) {
    for (const PropertyList& value : {PropertyList(std::string("a\0b", 3)), PropertyList("\xc3"),
                                      PropertyList(Dictionary{{std::string("k\0", 2), 1}}),
                                      PropertyList(Array{Dictionary{{"\xff", 1}}})}) {
        try {
            (void)writeBinaryPropertyList(value);
            ADD_FAILURE() << "written";
        } catch (const PropertyListError& error) {
            EXPECT_EQ(error.errorCase(), PropertyListError::Case::unwritable);
            EXPECT_EQ(error.message(), "The value cannot be stored in a property list.");
        }
    }
}

}  // namespace
}  // namespace tarnel::sysconfig
