#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/json.hpp"

namespace tarnel::json {

// A JSON text read once, for reading only: the values are small records in
// one array, a string refers into the text it was read from (or into the
// document, where an escape had to be decoded), and the members of an object
// are sorted by key. For large inputs that are walked rather than changed,
// it costs a fraction of a json::Value: no allocation per value, lookups by
// binary search, and strings that the canonical writer copies as they stand.
//
// It accepts and refuses exactly the texts json::parse does, with the same
// errors, and holds the same values (toValue gives the json::Value).
// The document refers to the text it was read from, which must outlive it.
class Document {
public:
    enum class Kind : std::uint8_t { null, boolean, integer, unsignedInteger, floating, string, array, object };

    class Node;

    // Reads the text as json::parse does; throws JsonError as it does.
    [[nodiscard]] static Document parse(std::string_view text, TopLevel topLevel = TopLevel::object,
                                        std::size_t maximumDepth = kDefaultMaximumDepth);

    [[nodiscard]] Node root() const;
    // The length of the text the document was read from.
    [[nodiscard]] std::size_t textSize() const noexcept { return textSize_; }

private:
    friend class DocumentBuilder;

    struct Entry {
        Kind kind = Kind::null;
        // A string (or a key) that needs no escape in canonical form.
        bool plain = false;
        // A string's length; a container's members or elements.
        std::uint32_t size = 0;
        union {
            bool boolean;
            std::int64_t integer;
            std::uint64_t unsignedInteger;
            double floating;
            const char* text;
            std::uint32_t first;  // a container's first member or element
        };
        Entry() : integer(0) {}
    };
    struct Member {
        std::string_view key;
        bool plainKey = false;
        std::uint32_t value = 0;
    };

    std::vector<Entry> entries_;
    std::vector<Member> members_;  // each object's members together, keys ascending
    std::vector<std::uint32_t> elements_;  // each array's elements together, in order
    std::deque<std::string> decoded_;  // the text of strings and keys that held escapes
    std::size_t textSize_ = 0;
};

// One value of a document; a small handle that stays valid with the document.
class Document::Node {
public:
    [[nodiscard]] Kind kind() const noexcept { return entry().kind; }
    [[nodiscard]] bool isNull() const noexcept { return kind() == Kind::null; }
    [[nodiscard]] bool isString() const noexcept { return kind() == Kind::string; }
    [[nodiscard]] bool isObject() const noexcept { return kind() == Kind::object; }
    [[nodiscard]] bool isArray() const noexcept { return kind() == Kind::array; }
    // Written as an integer (signed or unsigned), not as a float.
    [[nodiscard]] bool isInteger() const noexcept {
        return kind() == Kind::integer || kind() == Kind::unsignedInteger;
    }

    // The value of a scalar of that kind.
    [[nodiscard]] bool boolean() const noexcept { return entry().boolean; }
    [[nodiscard]] std::int64_t integer() const noexcept { return entry().integer; }
    [[nodiscard]] std::uint64_t unsignedInteger() const noexcept { return entry().unsignedInteger; }
    [[nodiscard]] double floating() const noexcept { return entry().floating; }
    [[nodiscard]] std::string_view string() const noexcept { return {entry().text, entry().size}; }

    // Members of an object or elements of an array.
    [[nodiscard]] std::size_t size() const noexcept {
        return kind() == Kind::object || kind() == Kind::array ? entry().size : 0;
    }
    // The member of an object under that key.
    [[nodiscard]] std::optional<Node> find(std::string_view key) const;
    [[nodiscard]] bool contains(std::string_view key) const { return find(key).has_value(); }
    // The member at a position of an object (keys ascending) or the element
    // at a position of an array.
    [[nodiscard]] std::string_view keyAt(std::size_t position) const noexcept {
        return document_->members_[entry().first + position].key;
    }
    [[nodiscard]] Node valueAt(std::size_t position) const noexcept {
        return Node(*document_, document_->members_[entry().first + position].value);
    }
    [[nodiscard]] Node elementAt(std::size_t position) const noexcept {
        return Node(*document_, document_->elements_[entry().first + position]);
    }
    // Calls `visit(key, member)` for the members of an object, keys ascending.
    template <typename Visit>
    void forEachMember(Visit&& visit) const {
        for (std::size_t position = 0; position < size(); ++position) visit(keyAt(position), valueAt(position));
    }
    // Calls `visit(element)` for the elements of an array, in order.
    template <typename Visit>
    void forEachElement(Visit&& visit) const {
        for (std::size_t position = 0; position < size(); ++position) visit(elementAt(position));
    }

    // The containers on the deepest path, as json::nestingDepth counts them.
    [[nodiscard]] std::size_t nestingDepth() const;
    // The same value as a json::Value.
    [[nodiscard]] Value toValue() const;
    // Appends the value in canonical form, the bytes json::writeCanonical
    // writes for toValue().
    void appendCanonical(std::string& out) const;

    // A field read as ObjectReader reads a member (a missing member or a null
    // one is absent), without naming it: false where the read would throw.
    static bool tryRead(const std::optional<Node>& member, std::string& field);
    static bool tryRead(const std::optional<Node>& member, std::optional<std::string>& field);
    static bool tryRead(const std::optional<Node>& member, std::int64_t& field);
    static bool tryRead(const std::optional<Node>& member, std::optional<std::int64_t>& field);
    static bool tryRead(const std::optional<Node>& member, bool& field);
    static bool tryRead(const std::optional<Node>& member, std::optional<bool>& field);
    static bool tryRead(const std::optional<Node>& member, std::vector<std::string>& field);
    static bool tryRead(const std::optional<Node>& member, std::optional<std::vector<std::string>>& field);

private:
    friend class Document;

    Node(const Document& document, std::uint32_t index) : document_(&document), index_(index) {}
    [[nodiscard]] const Entry& entry() const noexcept { return document_->entries_[index_]; }

    const Document* document_;
    std::uint32_t index_;
};

// Calls `visit(key, member)` for every member of the object `top` merged over
// the object `base` (none for none), as if `top`'s members had been copied
// over a copy of `base`, in ascending key order.
template <typename Visit>
void forEachMergedMember(const Document::Node& top, const std::optional<Document::Node>& base, Visit&& visit) {
    std::size_t next = 0;
    if (base) {
        for (std::size_t position = 0; position < base->size(); ++position) {
            const std::string_view key = base->keyAt(position);
            for (; next < top.size() && top.keyAt(next) < key; ++next) visit(top.keyAt(next), top.valueAt(next));
            if (next < top.size() && top.keyAt(next) == key) continue;  // `top` replaces it
            visit(key, base->valueAt(position));
        }
    }
    for (; next < top.size(); ++next) visit(top.keyAt(next), top.valueAt(next));
}

}  // namespace tarnel::json
