// The small text readers on input paths: UUIDs (attempt ids from the
// application reach the root helper), UTF-8 decoding and the catalog's
// Unicode helpers (every manifest string passes through them). They never
// crash; what they give back is well-formed and stable.

#include <cstddef>
#include <cstdint>

#include "app/catalog/unicode_text.hpp"
#include "common/base/utf8.hpp"
#include "common/base/uuid.hpp"
#include "common/contract/helper_contract.hpp"
#include "fuzz/fuzz_support.hpp"

using namespace tarnel;
using tarnel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::bytesOf(data, size);

    if (const auto uuid = Uuid::parse(text)) {
        require(text.size() == 36, "an accepted UUID has 36 characters");
        require(Uuid::parse(uuid->text()) == uuid, "a UUID reads back from its text");
        require(PrivilegedHelperContract::parseCanonicalAttemptID(uuid->text()) == uuid, "a UUID's own text is canonical");
    }
    if (const auto canonical = PrivilegedHelperContract::parseCanonicalAttemptID(text)) {
        require(canonical->text() == text, "a canonical attempt id is its own text");
    }

    // Decoding one scalar at a time agrees with the whole-text check.
    std::size_t offset = 0;
    while (offset < text.size()) {
        const std::size_t before = offset;
        const auto scalar = utf8::decodeNext(text, offset);
        if (!scalar) {
            require(offset == before, "a refused sequence leaves the offset");
            break;
        }
        require(offset > before && offset - before <= 4, "a scalar takes one to four bytes");
        std::string encoded;
        utf8::append(encoded, *scalar);
        require(encoded == text.substr(before, offset - before), "a decoded scalar encodes as its bytes");
    }
    require(utf8::isValid(text) == (offset == text.size()), "isValid agrees with decodeNext");
    const std::string repaired = utf8::decodeReplacingInvalid(text);
    require(utf8::isValid(repaired), "the repaired text is well-formed");
    require(!utf8::isValid(text) || repaired == text, "well-formed text is left unchanged");

    const std::string trimmed = unicode::trimmingWhitespaceAndNewlines(text);
    require(utf8::isValid(trimmed), "a trimmed text is well-formed");
    require(unicode::trimmingWhitespaceAndNewlines(trimmed) == trimmed, "trimming is idempotent");
    require(utf8::isValid(unicode::uppercased(text)) && utf8::isValid(unicode::lowercased(text)),
            "case mapping gives well-formed text");
    const std::size_t count = unicode::codePointCount(text);
    require(unicode::prefixCodePoints(text, count / 2) + unicode::suffixCodePoints(text, count - count / 2) ==
                unicode::wellFormed(text),
            "a prefix and the rest make the whole text");
    for (const std::string& run : unicode::letterOrDigitRuns(text)) {
        require(!run.empty() && utf8::isValid(run), "letter runs are non-empty and well-formed");
    }
    return 0;
}
