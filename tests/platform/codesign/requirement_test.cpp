#include "platform/codesign/requirement.hpp"

#include <gtest/gtest.h>

#include <set>

#include "platform/codesign/code_signing.hpp"
#include "platform/codesign/local_code_signing.hpp"

namespace tarnel::codesign {
namespace {

using Kind = Requirement::Clause::Kind;

TEST(Requirement, CompilesTheGrammarThatTheSystemUses) {
    const struct {
        const char* text;
        std::vector<Requirement::Clause> clauses;
    } cases[] = {
        {R"(identifier "app.tarnel.direct" and anchor apple generic and certificate leaf[subject.OU] = "QK7W2M9XRT")",
         {{Kind::identifier, "app.tarnel.direct"}, {Kind::anchorAppleGeneric, ""},
          {Kind::leafOrganizationalUnit, "QK7W2M9XRT"}}},
        {R"(anchor apple generic and certificate leaf[subject.OU] = "QK7W2M9XRT")",
         {{Kind::anchorAppleGeneric, ""}, {Kind::leafOrganizationalUnit, "QK7W2M9XRT"}}},
        {R"(identifier "sing-box")", {{Kind::identifier, "sing-box"}}},
        // White space is free between tokens and optional around the punctuation.
        {"\tcertificate  leaf [ subject.OU ]=\"T\"\r\nand\nidentifier \"x\" ",
         {{Kind::leafOrganizationalUnit, "T"}, {Kind::identifier, "x"}}},
        {R"(certificate leaf[subject.OU]="Ω team")", {{Kind::leafOrganizationalUnit, "Ω team"}}},
    };
    for (const auto& example : cases) {
        SCOPED_TRACE(example.text);
        const auto requirement = Requirement::compile(example.text);
        ASSERT_TRUE(requirement);
        EXPECT_EQ(requirement->clauses(), example.clauses);
        // The canonical text compiles to the same clauses.
        EXPECT_EQ(Requirement::compile(requirement->text()), requirement);
    }
}

TEST(Requirement, RefusesEverythingElse) {
    for (const char* text : {
             "identifier x or true",
             "",
             "   ",
             R"(identifier "a" or anchor apple generic)",
             R"(identifier "a" and)",
             R"(and identifier "a")",
             R"(identifier "a" identifier "b")",
             R"(identifier a)",
             R"(identifier "")",
             R"(identifier "a)",
             R"(identifier "a"and anchor apple generic)",
             R"(identifier"a")",
             R"(Identifier "a")",
             R"(identifier "a" AND anchor apple generic)",
             R"(anchor apple)",
             R"(anchor apple generic generic)",
             R"(anchor trusted)",
             R"(certificate leaf[subject.CN] = "QK7W2M9XRT")",
             R"(certificate root[subject.OU] = "QK7W2M9XRT")",
             R"(certificate leaf[subject.OU] "QK7W2M9XRT")",
             R"(certificate leaf[subject.OU] = QK7W2M9XRT)",
             R"((identifier "a"))",
             R"(!identifier "a")",
             R"(identifier "a" and true)",
             R"(identifier "a\"b")",
             "identifier \"a\nb\"",
             "identifier \"\xff\"",
             "identifier \"a\" \x01",
         }) {
        EXPECT_EQ(Requirement::compile(text), std::nullopt) << text;
    }
    // Through the service: the status of a text that does not compile.
    const LocalCodeSigning service(std::nullopt);
    const auto compiled = service.createRequirement("identifier x or true", flags::none);
    EXPECT_EQ(compiled.status, status::invalidRequirement);
    EXPECT_EQ(compiled.value, nullptr);
    EXPECT_EQ(service.createRequirement(R"(identifier "x")", flags::strictValidation).status, status::invalidFlags);
}

TEST(Requirement, DesignatedRequirementText) {
    EXPECT_EQ(Requirement::designated("app.tarnel.direct", "QK7W2M9XRT").text(),
              R"(identifier "app.tarnel.direct" and anchor apple generic and certificate leaf[subject.OU] = "QK7W2M9XRT")");
    EXPECT_THROW((void)Requirement::designated("a\"b", "T"), std::invalid_argument);
}

TEST(Requirement, QuotableTexts) {
    EXPECT_TRUE(isRequirementString("app.tarnel.direct"));
    EXPECT_TRUE(isRequirementString(std::string(255, 'a')));
    EXPECT_TRUE(isRequirementString("Москва"));
    for (const std::string& text : {std::string(), std::string(256, 'a'), std::string("a\"b"), std::string("a\\b"),
                                   std::string("a\tb"), std::string("a\0b", 3), std::string("\xc3"),
                                   std::string("a\u200bb")}) {
        EXPECT_FALSE(isRequirementString(text)) << text;
    }
}

TEST(CodeSigningStatus, EveryStatusIsNegativeDistinctAndDescribed) {
    const Status all[] = {status::invalidFlags,       status::invalidObject,     status::noSuchProcess,
                          status::unreadable,         status::notSigned,         status::malformedSignature,
                          status::invalidSignature,   status::codeModified,      status::resourcesModified,
                          status::requirementFailed,  status::invalidRequirement, status::resourceNotSealed,
                          status::operationFailed};
    std::set<Status> seen;
    std::set<std::string_view> descriptions;
    for (const Status value : all) {
        EXPECT_LT(value, 0);
        EXPECT_TRUE(seen.insert(value).second) << value;
        EXPECT_TRUE(descriptions.insert(describeStatus(value)).second) << value;
        EXPECT_NE(describeStatus(value), "unknown status");
    }
    EXPECT_EQ(describeStatus(status::success), "success");
    EXPECT_EQ(describeStatus(-1), "unknown status");
}

}  // namespace
}  // namespace tarnel::codesign
