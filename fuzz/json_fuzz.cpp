// json::parse and the writers: the strict reader must never crash, and what
// it accepts must survive every writer: the canonical form reads back as the
// same value and is stable, and so do the pretty and ordered forms. The flat
// json::Document reads every text exactly as json::parse does.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/base/json.hpp"
#include "common/base/json_document.hpp"
#include "fuzz/fuzz_support.hpp"

using namespace tarnel;
using tarnel::fuzz::require;

namespace {

// json::Document reads what json::parse reads: the same text is refused with
// the same error, and an accepted one holds the same value.
void checkDocumentReadsAsParse(std::string_view text, const json::Value* value, const json::JsonError* error) {
    std::optional<json::Document> document;
    try {
        document.emplace(json::Document::parse(text, json::TopLevel::any));
    } catch (const json::JsonError& documentError) {
        require(error != nullptr, "Document refuses only what parse refuses", documentError.message());
        require(documentError.errorCase() == error->errorCase() && documentError.detail() == error->detail(),
                "Document refuses with parse's error", documentError.message() + " / " + error->message());
        return;
    }
    if (value == nullptr) require(false, "Document accepts only what parse accepts", error->message());
    const json::Document::Node root = document->root();
    require(root.toValue() == *value, "Document holds parse's value");
    std::string canonical;
    root.appendCanonical(canonical);
    require(canonical == json::writeCanonical(*value), "Document writes parse's canonical form", canonical);
    require(root.nestingDepth() == json::nestingDepth(*value), "Document nests as deep as parse's value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::bytesOf(data, size);
    json::Value value;
    try {
        value = json::parse(text, json::TopLevel::any);
    } catch (const json::JsonError& error) {
        checkDocumentReadsAsParse(text, nullptr, &error);
        return 0;
    }
    checkDocumentReadsAsParse(text, &value, nullptr);

    // A value the reader accepted is one every writer can write.
    const std::string canonical = json::writeCanonical(value);
    json::Value reread;
    try {
        reread = json::parse(canonical, json::TopLevel::any);
    } catch (const json::JsonError& error) {
        require(false, "the canonical form of an accepted document reads back", error.message() + " " + canonical);
    }
    require(reread == value, "parse(writeCanonical(parse(x))) == parse(x)", canonical);
    require(json::writeCanonical(reread) == canonical, "writeCanonical is stable", canonical);

    const std::string pretty = json::writePretty(value);
    try {
        require(json::parse(pretty, json::TopLevel::any) == value, "the pretty form reads back as the same value",
                pretty);
    } catch (const json::JsonError& error) {
        require(false, "the pretty form of an accepted document reads back", error.message() + " " + pretty);
    }

    const json::OrderedValue ordered = json::OrderedValue::parse(canonical);
    require(json::writeOrdered(ordered) == canonical, "the ordered form of sorted keys is the canonical form",
            canonical);

    // The reader's own limits: the top-level kinds and the depth cap agree
    // with the value it gave.
    const auto refusedAs = [&](json::TopLevel topLevel, std::size_t depth) {
        try {
            static_cast<void>(json::parse(text, topLevel, depth));
            return false;
        } catch (const json::JsonError&) {
            return true;
        }
    };
    require(refusedAs(json::TopLevel::object, json::kDefaultMaximumDepth) != value.is_object(),
            "TopLevel::object accepts exactly the objects");
    require(refusedAs(json::TopLevel::array, json::kDefaultMaximumDepth) != value.is_array(),
            "TopLevel::array accepts exactly the arrays");
    const std::size_t depth = json::nestingDepth(value);
    require(!refusedAs(json::TopLevel::any, depth), "a document is accepted at its own depth");
    if (depth > 0) require(refusedAs(json::TopLevel::any, depth - 1), "a document is refused below its depth");
    return 0;
}
