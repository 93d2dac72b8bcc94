// The readers of the code-signing layer that see what an application bundle
// holds: the signature decoder and the requirement compiler. Never crash;
// a signature is accepted, malformed or invalid and nothing else; what strict
// decoding accepts, lenient decoding accepts with the same identity, and its
// record writes back byte for byte; a compiled requirement's text compiles to
// the same requirement.

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.hpp"
#include "platform/codesign/requirement.hpp"
#include "platform/codesign/signature_format.hpp"

using namespace tarnel;
using namespace tarnel::codesign;
using tarnel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::bytesOf(data, size);

    const auto strict = verifySignature(bytes, true);
    const auto lenient = verifySignature(bytes, false);
    for (const auto* result : {&strict, &lenient}) {
        require(result->status == status::success || result->status == status::malformedSignature ||
                    result->status == status::invalidSignature,
                "a signature is accepted, malformed or invalid");
        require((result->status == status::success) == result->value.has_value(), "a status goes with its value");
    }
    if (strict.value) {
        require(lenient.value && lenient.value->identity() == strict.value->identity(),
                "what strict decoding accepts, lenient decoding accepts alike");
        require(encodeRecord(strict.value->record) == strict.value->recordBytes, "a strict record writes back");
        require(strict.value->identity().size() == 32, "an identity is 32 bytes");
    }

    if (const auto requirement = Requirement::compile(bytes)) {
        require(!requirement->clauses().empty(), "a requirement has a clause");
        require(Requirement::compile(requirement->text()) == requirement, "a requirement's text compiles back");
    }
    return 0;
}
