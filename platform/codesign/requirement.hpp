#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel::codesign {

// A compiled code requirement. The grammar is exactly what the system states:
//
//   requirement := clause ("and" clause)*
//   clause      := "identifier" STRING
//                | "anchor" "apple" "generic"
//                | "certificate" "leaf" "[" "subject.OU" "]" "=" STRING
//
// Keywords are case-sensitive and separated by white space (space, tab, line
// feed, carriage return), which is optional around "[", "]" and "=". STRING is
// a double-quoted text that `isRequirementString` accepts, with no escapes.
// "anchor apple generic" holds for code chained to the anchor that the
// code-signing service trusts; "certificate leaf[subject.OU]" names the team
// identifier of the signing certificate. Every clause must hold.
class Requirement {
public:
    struct Clause {
        enum class Kind { identifier, anchorAppleGeneric, leafOrganizationalUnit };
        Kind kind;
        std::string value;  // empty for anchorAppleGeneric

        friend bool operator==(const Clause&, const Clause&) = default;
    };

    // Nothing when the text is not in the grammar.
    [[nodiscard]] static std::optional<Requirement> compile(std::string_view text);
    // `identifier "<identifier>" and anchor apple generic and
    // certificate leaf[subject.OU] = "<team>"`: what a signed code's designated
    // requirement says. Both texts must pass `isRequirementString`.
    [[nodiscard]] static Requirement designated(std::string_view identifier, std::string_view teamIdentifier);

    [[nodiscard]] const std::vector<Clause>& clauses() const noexcept { return clauses_; }
    // The requirement written in the grammar's canonical spelling (single
    // spaces, `leaf[subject.OU] = `); compiling it gives the same clauses.
    [[nodiscard]] std::string text() const;

    friend bool operator==(const Requirement&, const Requirement&) = default;

private:
    explicit Requirement(std::vector<Clause> clauses) : clauses_(std::move(clauses)) {}
    std::vector<Clause> clauses_;
};

// True for a text that a requirement can quote, and so for every identifier
// and team identifier a signature may carry: 1 to 255 bytes of well-formed
// UTF-8 without control or format characters, double quotes or backslashes.
[[nodiscard]] bool isRequirementString(std::string_view text) noexcept;

}  // namespace tarnel::codesign
