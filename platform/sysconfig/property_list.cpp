#include "platform/sysconfig/property_list.hpp"

#include <plist/plist.h>

#include <cstdlib>
#include <limits>
#include <memory>

#include "common/base/utf8.hpp"

namespace tarnel::sysconfig {

std::string PropertyListError::message() const {
    switch (case_) {
        case Case::unreadable: return "The property list could not be read.";
        case Case::unwritable: return "The value cannot be stored in a property list.";
    }
    return "The property list could not be read.";
}

namespace {

constexpr int kMaximumDepth = 64;

struct PlistDeleter {
    void operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
using PlistHandle = std::unique_ptr<void, PlistDeleter>;

struct FreeDeleter {
    void operator()(char* text) const noexcept { std::free(text); }
};

[[noreturn]] void unreadable() { throw PropertyListError(PropertyListError::Case::unreadable); }
[[noreturn]] void unwritable() { throw PropertyListError(PropertyListError::Case::unwritable); }

std::string checkedText(const char* text, std::uint64_t length) {
    std::string value = text == nullptr ? std::string() : std::string(text, length);
    if (!utf8::isValid(value) || value.find('\0') != std::string::npos) unreadable();
    return value;
}

PropertyList fromNode(plist_t node, int depth) {
    if (depth > kMaximumDepth) unreadable();
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return value != 0;
        }
        case PLIST_UINT: {
            // libplist keeps every integer as 64 bits; negative numbers are
            // their two's complement.
            std::uint64_t value = 0;
            plist_get_uint_val(node, &value);
            return static_cast<std::int64_t>(value);
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return value;
        }
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return checkedText(text, length);
        }
        case PLIST_DATA: {
            std::uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(node, &length);
            return PropertyList::Data{bytes == nullptr ? std::string() : std::string(bytes, length)};
        }
        case PLIST_ARRAY: {
            PropertyList::Array array;
            const std::uint32_t size = plist_array_get_size(node);
            array.reserve(size);
            for (std::uint32_t index = 0; index < size; ++index) {
                array.push_back(fromNode(plist_array_get_item(node, index), depth + 1));
            }
            return array;
        }
        case PLIST_DICT: {
            PropertyList::Dictionary dictionary;
            plist_dict_iter iterator = nullptr;
            plist_dict_new_iter(node, &iterator);
            const std::unique_ptr<void, decltype(&std::free)> iteratorOwner(iterator, &std::free);
            for (;;) {
                char* rawKey = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iterator, &rawKey, &item);
                const std::unique_ptr<char, FreeDeleter> key(rawKey);
                if (item == nullptr) break;
                std::string name = checkedText(key.get(), key ? std::char_traits<char>::length(key.get()) : 0);
                dictionary.insert_or_assign(std::move(name), fromNode(item, depth + 1));
            }
            return dictionary;
        }
        default: unreadable();
    }
}

void checkWritable(const std::string& text) {
    if (!utf8::isValid(text) || text.find('\0') != std::string::npos) unwritable();
}

// The value of the kind the caller switched on; a mismatch cannot happen, and
// the check lets the compiler see that no null pointer is followed.
template <typename T>
const T& held(const PropertyList& value) {
    const T* found = value.get<T>();
    if (found == nullptr) unwritable();
    return *found;
}

PlistHandle toNode(const PropertyList& value) {
    switch (value.kind()) {
        case PropertyList::Kind::string: {
            const auto& text = held<std::string>(value);
            checkWritable(text);
            return PlistHandle(plist_new_string(text.c_str()));
        }
        case PropertyList::Kind::integer:
            return PlistHandle(plist_new_uint(static_cast<std::uint64_t>(held<std::int64_t>(value))));
        case PropertyList::Kind::real: return PlistHandle(plist_new_real(held<double>(value)));
        case PropertyList::Kind::boolean: return PlistHandle(plist_new_bool(held<bool>(value) ? 1 : 0));
        case PropertyList::Kind::data: {
            const auto& bytes = held<PropertyList::Data>(value).bytes;
            return PlistHandle(plist_new_data(bytes.data(), bytes.size()));
        }
        case PropertyList::Kind::array: {
            PlistHandle array(plist_new_array());
            for (const auto& element : held<PropertyList::Array>(value)) {
                plist_array_append_item(array.get(), toNode(element).release());
            }
            return array;
        }
        case PropertyList::Kind::dictionary: {
            PlistHandle dictionary(plist_new_dict());
            for (const auto& [key, element] : held<PropertyList::Dictionary>(value)) {
                checkWritable(key);
                plist_dict_set_item(dictionary.get(), key.c_str(), toNode(element).release());
            }
            return dictionary;
        }
    }
    unwritable();
}

}  // namespace

PropertyList parsePropertyList(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) unreadable();
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    if (root == nullptr) unreadable();
    const PlistHandle owner(root);
    return fromNode(root, 1);
}

std::string writeBinaryPropertyList(const PropertyList& value) {
    const PlistHandle root = toNode(value);
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root.get(), &bytes, &length);
    if (bytes == nullptr) unwritable();
    const std::unique_ptr<char, FreeDeleter> owner(bytes);
    return std::string(bytes, length);
}

}  // namespace tarnel::sysconfig
