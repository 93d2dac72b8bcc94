// The Base64 decoders: never crash; the strict decoder accepts exactly one
// encoding per byte string, so encoding what it decoded gives back the input;
// the base64url decoder maps "-" "_" and completes the padding, so its
// canonical form is the input in the URL alphabet without trailing "=".

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/base/base64.hpp"
#include "fuzz/fuzz_support.hpp"

using namespace tarnel;
using tarnel::fuzz::require;

namespace {

std::string urlCanonical(std::string_view text) {
    std::string canonical(text);
    for (char& c : canonical) {
        if (c == '+') c = '-';
        if (c == '/') c = '_';
    }
    while (!canonical.empty() && canonical.back() == '=') canonical.pop_back();
    return canonical;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::bytesOf(data, size);

    if (const auto bytes = base64Decode(text)) {
        require(base64Encode(*bytes) == text, "base64Encode(base64Decode(x)) == x", text);
        require(base64UrlDecode(text) == bytes, "a standard text decodes the same as base64url", text);
    }
    if (const auto bytes = base64UrlDecode(text)) {
        require(base64UrlEncode(*bytes) == urlCanonical(text), "base64UrlEncode(base64UrlDecode(x)) is x canonical",
                text);
        // At most the padding that completes the last group.
        const std::string canonical = urlCanonical(text);
        require(text.size() - canonical.size() <= 2 && canonical.size() % 4 != 1,
                "base64url accepts no more padding than completes a group", text);
    }

    // Any bytes encode to texts both decoders accept and read back.
    require(base64Decode(base64Encode(text)) == std::string(text), "decode(encode(b)) == b");
    require(base64UrlDecode(base64UrlEncode(text)) == std::string(text), "urlDecode(urlEncode(b)) == b");
    return 0;
}
