#include "common/digest.hpp"

#include <openssl/evp.h>

#include <new>

namespace tarnel {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

Sha256Digest digestOf(const void* data, std::size_t size) {
    Sha256Digest digest{};
    unsigned int length = 0;
    // A one-shot digest fails only when OpenSSL cannot allocate its context or
    // fetch the algorithm; both mean the process is out of resources.
    if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size()) {
        throw std::bad_alloc();
    }
    return digest;
}

}  // namespace

Sha256Digest sha256(std::string_view bytes) { return digestOf(bytes.data(), bytes.size()); }

Sha256Digest sha256(std::span<const std::uint8_t> bytes) {
    return digestOf(bytes.data(), bytes.size());
}

std::vector<std::string> sha256HexDigits(std::span<const std::uint8_t> bytes) {
    std::vector<std::string> digits;
    digits.reserve(bytes.size());
    for (const std::uint8_t byte : bytes) {
        digits.push_back({kHexDigits[byte >> 4], kHexDigits[byte & 0x0F]});
    }
    return digits;
}

std::string lowercaseHex(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0x0F];
    }
    return text;
}

std::string sha256Hex(std::string_view bytes) { return lowercaseHex(sha256(bytes)); }

bool isLowercaseSha256Hex(std::string_view text) noexcept {
    if (text.size() != 2 * std::tuple_size_v<Sha256Digest>) return false;
    for (const char character : text) {
        const bool digit = character >= '0' && character <= '9';
        const bool letter = character >= 'a' && character <= 'f';
        if (!digit && !letter) return false;
    }
    return true;
}

}  // namespace tarnel
