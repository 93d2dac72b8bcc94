#pragma once

// A structure-aware mutator for the targets whose input is a JSON document
// (manifests, envelopes, TUN configurations). Byte mutations mostly break the
// syntax, so the reader refuses them and the checks behind it are rarely
// reached; half of the time this mutator instead edits the parsed document
// (replaces, deletes, copies or retypes one value) and writes it back, so that
// the input stays JSON and reaches the code under test. Include it in exactly
// one source file of a target: it defines LLVMFuzzerCustomMutator.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/base/json.hpp"
#include "common/base/utf8.hpp"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

namespace tarnel::fuzz {

struct JsonNode {
    json::Value* value;
    json::Value* parent;  // null for the root
    std::string key;      // the member name when the parent is an object
    std::size_t index;    // the position when the parent is an array
};

inline void collectNodes(json::Value& value, json::Value* parent, const std::string& key, std::size_t index,
                         std::vector<JsonNode>& nodes) {
    nodes.push_back({&value, parent, key, index});
    if (value.is_object()) {
        for (auto member = value.begin(); member != value.end(); ++member) {
            collectNodes(member.value(), &value, member.key(), 0, nodes);
        }
    } else if (value.is_array()) {
        for (std::size_t i = 0; i < value.size(); ++i) collectNodes(value[i], &value, {}, i, nodes);
    }
}

inline json::Value interestingScalar(std::mt19937_64& random) {
    switch (random() % 14) {
        case 0: return nullptr;
        case 1: return true;
        case 2: return false;
        case 3: return 0;
        case 4: return -1;
        case 5: return 65535;
        case 6: return 65536;
        case 7: return std::numeric_limits<std::int64_t>::max();
        case 8: return std::numeric_limits<std::uint64_t>::max();
        case 9: return 1.5;
        case 10: return 443.0;
        case 11: return "";
        case 12: return json::Value::object();
        default: return json::Value::array();
    }
}

inline bool mutateDocument(json::Value& document, std::mt19937_64& random, std::size_t maxSize) {
    std::vector<JsonNode> nodes;
    collectNodes(document, nullptr, {}, 0, nodes);
    JsonNode& target = nodes[random() % nodes.size()];
    const JsonNode& other = nodes[random() % nodes.size()];
    switch (random() % 6) {
        case 0:  // a scalar of another type or value
            *target.value = interestingScalar(random);
            return true;
        case 1:  // delete the value from its container
            if (target.parent == nullptr) return false;
            if (target.parent->is_object()) {
                target.parent->erase(target.key);
            } else {
                target.parent->erase(target.index);
            }
            return true;
        case 2: {  // a copy of another value (copied first: it may contain the target)
            if (other.value == target.value) return false;
            json::Value copy = *other.value;
            *target.value = std::move(copy);
            return true;
        }
        case 3:  // an object gains a member named as another one somewhere
            if (!target.value->is_object() || other.key.empty()) return false;
            (*target.value)[other.key] = interestingScalar(random);
            return true;
        case 4:  // an array gains a copy of one of its elements
            if (!target.value->is_array() || target.value->empty()) return false;
            target.value->push_back(json::Value((*target.value)[random() % target.value->size()]));
            return true;
        default: {  // the bytes of a string, mutated and kept when still UTF-8
            if (!target.value->is_string()) return false;
            std::string text = target.value->get<std::string>();
            const std::size_t room = std::min<std::size_t>(maxSize, text.size() + 16);
            text.resize(std::max<std::size_t>(room, 1));
            const std::size_t length =
                LLVMFuzzerMutate(reinterpret_cast<std::uint8_t*>(text.data()), target.value->get<std::string>().size(),
                                 text.size());
            text.resize(length);
            if (!utf8::isValid(text)) return false;
            *target.value = text;
            return true;
        }
    }
}

}  // namespace tarnel::fuzz

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned int seed) {
    std::mt19937_64 random(seed);
    if (random() % 2 == 0) {
        try {
            tarnel::json::Value document =
                tarnel::json::parse(std::string_view(reinterpret_cast<const char*>(data), size),
                                    tarnel::json::TopLevel::any);
            for (int attempt = 0; attempt < 4; ++attempt) {
                if (!tarnel::fuzz::mutateDocument(document, random, maxSize)) continue;
                const std::string text = tarnel::json::writeCanonical(document);
                if (text.size() > maxSize) break;
                std::memcpy(data, text.data(), text.size());
                return text.size();
            }
        } catch (const tarnel::json::JsonError&) {
            // Not JSON: mutate the bytes.
        }
    }
    return LLVMFuzzerMutate(data, size, maxSize);
}
