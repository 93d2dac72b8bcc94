#include "common/base/json_document.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <set>

#include "common/base/json_internal.hpp"

namespace tarnel::json {

// Builds a Document for the strict reader. The values are entries in reading
// order; the members or elements of an open container collect at the end of
// a scratch list and move into the document, together, once it closes.
class DocumentBuilder {
public:
    using Slot = std::uint32_t;

    explicit DocumentBuilder(Document& document) : document_(document) {}

    Slot root() { return newEntry(); }

    void openObject(Slot slot) { open(slot, Document::Kind::object); }
    void openArray(Slot slot) { open(slot, Document::Kind::array); }

    Slot member(detail::ReadString&& key) {
        Open& object = open_.back();
        Document::Member member;
        member.plainKey = !key.escaped;
        member.key = key.escaped ? std::string_view(document_.decoded_.emplace_back(std::move(key.decoded)))
                                 : key.source;
        if (isRepeated(object, member.key)) throw JsonError(JsonError::Case::duplicateKey, std::string(member.key));
        member.value = newEntry();
        members_.push_back(member);
        return member.value;
    }

    Slot element() {
        const Slot slot = newEntry();
        elements_.push_back(slot);
        return slot;
    }

    [[nodiscard]] bool innermostIsObject() const { return open_.back().object; }
    [[nodiscard]] std::size_t openContainers() const { return open_.size(); }

    void close() {
        Open& container = open_.back();
        Document::Entry& entry = document_.entries_[container.entry];
        if (container.object) {
            const auto first = members_.begin() + static_cast<std::ptrdiff_t>(container.firstChild);
            std::sort(first, members_.end(),
                      [](const Document::Member& a, const Document::Member& b) { return a.key < b.key; });
            entry.first = static_cast<std::uint32_t>(document_.members_.size());
            entry.size = static_cast<std::uint32_t>(members_.size() - container.firstChild);
            document_.members_.insert(document_.members_.end(), first, members_.end());
            members_.erase(first, members_.end());
        } else {
            const auto first = elements_.begin() + static_cast<std::ptrdiff_t>(container.firstChild);
            entry.first = static_cast<std::uint32_t>(document_.elements_.size());
            entry.size = static_cast<std::uint32_t>(elements_.size() - container.firstChild);
            document_.elements_.insert(document_.elements_.end(), first, elements_.end());
            elements_.erase(first, elements_.end());
        }
        open_.pop_back();
    }

    void set(Slot slot, std::nullptr_t) { document_.entries_[slot].kind = Document::Kind::null; }
    void set(Slot slot, bool value) {
        Document::Entry& entry = document_.entries_[slot];
        entry.kind = Document::Kind::boolean;
        entry.boolean = value;
    }
    void set(Slot slot, std::int64_t value) {
        Document::Entry& entry = document_.entries_[slot];
        entry.kind = Document::Kind::integer;
        entry.integer = value;
    }
    void set(Slot slot, std::uint64_t value) {
        Document::Entry& entry = document_.entries_[slot];
        entry.kind = Document::Kind::unsignedInteger;
        entry.unsignedInteger = value;
    }
    void set(Slot slot, double value) {
        Document::Entry& entry = document_.entries_[slot];
        entry.kind = Document::Kind::floating;
        entry.floating = value;
    }
    void set(Slot slot, detail::ReadString&& text) {
        const std::string_view stored =
            text.escaped ? std::string_view(document_.decoded_.emplace_back(std::move(text.decoded))) : text.source;
        Document::Entry& entry = document_.entries_[slot];
        entry.kind = Document::Kind::string;
        // Without an escape in the text, nothing in it needs one when written.
        entry.plain = !text.escaped;
        entry.text = stored.data();
        entry.size = static_cast<std::uint32_t>(stored.size());
    }

    [[nodiscard]] bool rootIsObject() const { return document_.entries_.front().kind == Document::Kind::object; }
    [[nodiscard]] bool rootIsArray() const { return document_.entries_.front().kind == Document::Kind::array; }

private:
    // An object's keys are checked against the keys before them one by one
    // while there are few, through a set once there are many.
    static constexpr std::size_t kKeysCheckedOneByOne = 16;

    struct Open {
        Slot entry;
        bool object;
        std::size_t firstChild;  // in the scratch list of its kind
        std::unique_ptr<std::set<std::string_view>> keys;
    };

    Slot newEntry() {
        document_.entries_.emplace_back();
        return static_cast<Slot>(document_.entries_.size() - 1);
    }

    void open(Slot slot, Document::Kind kind) {
        document_.entries_[slot].kind = kind;
        const bool object = kind == Document::Kind::object;
        open_.push_back({slot, object, object ? members_.size() : elements_.size(), nullptr});
    }

    bool isRepeated(Open& object, std::string_view key) {
        const auto first = members_.begin() + static_cast<std::ptrdiff_t>(object.firstChild);
        if (!object.keys && static_cast<std::size_t>(members_.end() - first) < kKeysCheckedOneByOne) {
            return std::any_of(first, members_.end(), [key](const Document::Member& member) { return member.key == key; });
        }
        if (!object.keys) {
            object.keys = std::make_unique<std::set<std::string_view>>();
            for (auto member = first; member != members_.end(); ++member) object.keys->insert(member->key);
        }
        return !object.keys->insert(key).second;
    }

    Document& document_;
    std::vector<Open> open_;
    std::vector<Document::Member> members_;
    std::vector<Slot> elements_;
};

Document Document::parse(std::string_view text, TopLevel topLevel, std::size_t maximumDepth) {
    Document document;
    document.textSize_ = text.size();
    // Room for what a text of this size usually holds (a value takes at
    // least two bytes of text, and most take more than a dozen), so that the
    // lists are not copied as they grow.
    document.entries_.reserve(text.size() / 12 + 1);
    document.members_.reserve(text.size() / 16 + 1);
    DocumentBuilder builder(document);
    detail::readStrictly(text, topLevel, maximumDepth, builder);
    return document;
}

Document::Node Document::root() const { return Node(*this, 0); }

std::optional<Document::Node> Document::Node::find(std::string_view key) const {
    if (kind() != Kind::object) return std::nullopt;
    const auto first = document_->members_.begin() + entry().first;
    const auto last = first + entry().size;
    const auto found =
        std::lower_bound(first, last, key, [](const Member& member, std::string_view wanted) { return member.key < wanted; });
    if (found == last || found->key != key) return std::nullopt;
    return Node(*document_, found->value);
}

std::size_t Document::Node::nestingDepth() const {
    if (kind() != Kind::object && kind() != Kind::array) return 0;
    std::size_t deepest = 0;
    for (std::size_t position = 0; position < size(); ++position) {
        const Node child = kind() == Kind::object ? valueAt(position) : elementAt(position);
        deepest = std::max(deepest, child.nestingDepth());
    }
    return deepest + 1;
}

Value Document::Node::toValue() const {
    switch (kind()) {
        case Kind::null: return nullptr;
        case Kind::boolean: return boolean();
        case Kind::integer: return integer();
        case Kind::unsignedInteger: return unsignedInteger();
        case Kind::floating: return floating();
        case Kind::string: return std::string(string());
        case Kind::array: {
            Value array = Value::array();
            forEachElement([&](const Node& element) { array.push_back(element.toValue()); });
            return array;
        }
        case Kind::object: {
            Value object = Value::object();
            auto& members = object.get_ref<Value::object_t&>();
            forEachMember([&](std::string_view key, const Node& member) {
                members.emplace_hint(members.end(), std::string(key), member.toValue());
            });
            return object;
        }
    }
    return nullptr;
}

void Document::Node::appendCanonical(std::string& out) const {
    const auto appendString = [&out](std::string_view text, bool plain) {
        if (!plain) return detail::appendCanonicalString(out, text);
        out += '"';
        out.append(text);
        out += '"';
    };
    switch (kind()) {
        case Kind::null: out += "null"; return;
        case Kind::boolean: out += boolean() ? "true" : "false"; return;
        case Kind::integer: return detail::appendCanonicalNumber(out, integer());
        case Kind::unsignedInteger: return detail::appendCanonicalNumber(out, unsignedInteger());
        case Kind::floating: return detail::appendCanonicalNumber(out, floating());
        case Kind::string: return appendString(string(), entry().plain);
        case Kind::array:
            out += '[';
            for (std::size_t position = 0; position < size(); ++position) {
                if (position > 0) out += ',';
                elementAt(position).appendCanonical(out);
            }
            out += ']';
            return;
        case Kind::object:
            out += '{';
            for (std::size_t position = 0; position < size(); ++position) {
                if (position > 0) out += ',';
                const Member& member = document_->members_[entry().first + position];
                appendString(member.key, member.plainKey);
                out += ':';
                valueAt(position).appendCanonical(out);
            }
            out += '}';
            return;
    }
}

// ---------------------------------------------------------------------------
// Typed reads, as ObjectReader reads a member

namespace {

using Node = Document::Node;

bool isAbsent(const std::optional<Node>& member) { return !member || member->isNull(); }

template <typename Field>
bool tryReadOptional(const std::optional<Node>& member, std::optional<Field>& field) {
    if (isAbsent(member)) {
        field.reset();
        return true;
    }
    return Node::tryRead(member, field.emplace());
}

}  // namespace

bool Document::Node::tryRead(const std::optional<Node>& member, std::string& field) {
    if (isAbsent(member) || !member->isString()) return false;
    field = member->string();
    return true;
}

bool Document::Node::tryRead(const std::optional<Node>& member, std::int64_t& field) {
    if (isAbsent(member)) return false;
    if (member->kind() == Kind::integer) {
        field = member->integer();
        return true;
    }
    if (member->kind() != Kind::unsignedInteger ||
        member->unsignedInteger() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return false;
    }
    field = static_cast<std::int64_t>(member->unsignedInteger());
    return true;
}

bool Document::Node::tryRead(const std::optional<Node>& member, bool& field) {
    if (isAbsent(member) || member->kind() != Kind::boolean) return false;
    field = member->boolean();
    return true;
}

bool Document::Node::tryRead(const std::optional<Node>& member, std::vector<std::string>& field) {
    if (isAbsent(member) || !member->isArray()) return false;
    field.clear();
    field.reserve(member->size());
    for (std::size_t position = 0; position < member->size(); ++position) {
        const Node element = member->elementAt(position);
        if (!element.isString()) return false;
        field.emplace_back(element.string());
    }
    return true;
}

bool Document::Node::tryRead(const std::optional<Node>& member, std::optional<std::string>& field) {
    return tryReadOptional(member, field);
}

bool Document::Node::tryRead(const std::optional<Node>& member, std::optional<std::int64_t>& field) {
    return tryReadOptional(member, field);
}

bool Document::Node::tryRead(const std::optional<Node>& member, std::optional<bool>& field) {
    return tryReadOptional(member, field);
}

bool Document::Node::tryRead(const std::optional<Node>& member, std::optional<std::vector<std::string>>& field) {
    return tryReadOptional(member, field);
}

}  // namespace tarnel::json
