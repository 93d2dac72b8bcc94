#include "platform/codesign/requirement.hpp"

#include <stdexcept>

#include "common/contract/helper_contract.hpp"

namespace tarnel::codesign {

namespace {

constexpr std::size_t kMaximumStringSize = 255;

bool isSpace(char character) {
    return character == ' ' || character == '\t' || character == '\n' || character == '\r';
}

bool isWordCharacter(char character) {
    return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z') ||
           (character >= '0' && character <= '9') || character == '.' || character == '_';
}

struct Token {
    enum class Kind { word, string, punctuation };
    Kind kind;
    std::string_view text;  // a string's text without its quotes
};

// Splits the text into words, quoted strings and the punctuation "[", "]"
// and "="; nothing when a character fits none of them or a string is open.
std::optional<std::vector<Token>> tokenize(std::string_view text) {
    std::vector<Token> tokens;
    std::size_t position = 0;
    while (position < text.size()) {
        const char character = text[position];
        if (isSpace(character)) {
            ++position;
        } else if (character == '[' || character == ']' || character == '=') {
            tokens.push_back({Token::Kind::punctuation, text.substr(position, 1)});
            ++position;
        } else if (character == '"') {
            const std::size_t close = text.find('"', position + 1);
            if (close == std::string_view::npos) return std::nullopt;
            const std::string_view value = text.substr(position + 1, close - position - 1);
            if (!isRequirementString(value)) return std::nullopt;
            tokens.push_back({Token::Kind::string, value});
            position = close + 1;
            // A string ends a word; "identifier "a"and" is not two tokens apart.
            if (position < text.size() && isWordCharacter(text[position])) return std::nullopt;
        } else if (isWordCharacter(character)) {
            const std::size_t start = position;
            while (position < text.size() && isWordCharacter(text[position])) ++position;
            if (position < text.size() && text[position] == '"') return std::nullopt;
            tokens.push_back({Token::Kind::word, text.substr(start, position - start)});
        } else {
            return std::nullopt;
        }
    }
    return tokens;
}

class Parser {
public:
    explicit Parser(const std::vector<Token>& tokens) : tokens_(tokens) {}

    std::optional<std::vector<Requirement::Clause>> requirement() {
        std::vector<Requirement::Clause> clauses;
        do {
            auto next = clause();
            if (!next) return std::nullopt;
            clauses.push_back(std::move(*next));
        } while (accept(Token::Kind::word, "and"));
        if (position_ != tokens_.size()) return std::nullopt;
        return clauses;
    }

private:
    std::optional<Requirement::Clause> clause() {
        using Kind = Requirement::Clause::Kind;
        if (accept(Token::Kind::word, "identifier")) {
            const auto value = string();
            if (!value) return std::nullopt;
            return Requirement::Clause{Kind::identifier, std::string(*value)};
        }
        if (accept(Token::Kind::word, "anchor")) {
            if (!accept(Token::Kind::word, "apple") || !accept(Token::Kind::word, "generic")) return std::nullopt;
            return Requirement::Clause{Kind::anchorAppleGeneric, {}};
        }
        if (accept(Token::Kind::word, "certificate")) {
            if (!accept(Token::Kind::word, "leaf") || !accept(Token::Kind::punctuation, "[") ||
                !accept(Token::Kind::word, "subject.OU") || !accept(Token::Kind::punctuation, "]") ||
                !accept(Token::Kind::punctuation, "=")) {
                return std::nullopt;
            }
            const auto value = string();
            if (!value) return std::nullopt;
            return Requirement::Clause{Kind::leafOrganizationalUnit, std::string(*value)};
        }
        return std::nullopt;
    }

    bool accept(Token::Kind kind, std::string_view text) {
        if (position_ < tokens_.size() && tokens_[position_].kind == kind && tokens_[position_].text == text) {
            ++position_;
            return true;
        }
        return false;
    }

    std::optional<std::string_view> string() {
        if (position_ < tokens_.size() && tokens_[position_].kind == Token::Kind::string) {
            return tokens_[position_++].text;
        }
        return std::nullopt;
    }

    const std::vector<Token>& tokens_;
    std::size_t position_ = 0;
};

}  // namespace

std::optional<Requirement> Requirement::compile(std::string_view text) {
    const auto tokens = tokenize(text);
    if (!tokens) return std::nullopt;
    auto clauses = Parser(*tokens).requirement();
    if (!clauses) return std::nullopt;
    return Requirement(std::move(*clauses));
}

Requirement Requirement::designated(std::string_view identifier, std::string_view teamIdentifier) {
    if (!isRequirementString(identifier) || !isRequirementString(teamIdentifier)) {
        throw std::invalid_argument("a designated requirement needs quotable identifiers");
    }
    return Requirement({{Clause::Kind::identifier, std::string(identifier)},
                        {Clause::Kind::anchorAppleGeneric, {}},
                        {Clause::Kind::leafOrganizationalUnit, std::string(teamIdentifier)}});
}

std::string Requirement::text() const {
    std::string text;
    for (const Clause& clause : clauses_) {
        if (!text.empty()) text += " and ";
        switch (clause.kind) {
            case Clause::Kind::identifier: text += "identifier \"" + clause.value + "\""; break;
            case Clause::Kind::anchorAppleGeneric: text += "anchor apple generic"; break;
            case Clause::Kind::leafOrganizationalUnit:
                text += "certificate leaf[subject.OU] = \"" + clause.value + "\"";
                break;
        }
    }
    return text;
}

bool isRequirementString(std::string_view text) noexcept {
    if (text.empty() || text.size() > kMaximumStringSize) return false;
    if (PrivilegedHelperContract::containsControlCharacter(text)) return false;  // also ill-formed UTF-8
    return text.find('"') == std::string_view::npos && text.find('\\') == std::string_view::npos;
}

}  // namespace tarnel::codesign
