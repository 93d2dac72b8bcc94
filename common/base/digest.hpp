#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 of the given bytes (OpenSSL EVP).
[[nodiscard]] Sha256Digest sha256(std::string_view bytes);
[[nodiscard]] Sha256Digest sha256(std::span<const std::uint8_t> bytes);

// SHA-256 over bytes that arrive in chunks (a file read part by part). The
// digest of the chunks equals `sha256` of their concatenation.
class Sha256Hasher {
public:
    Sha256Hasher();
    ~Sha256Hasher();
    Sha256Hasher(Sha256Hasher&&) noexcept;
    Sha256Hasher& operator=(Sha256Hasher&&) noexcept;
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    void update(std::string_view bytes);
    // The digest of everything added so far; the hasher starts over afterwards.
    [[nodiscard]] Sha256Digest finish();

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

// One two-character lowercase hexadecimal string ("%02x") per byte, in byte
// order. Joined without a separator, the strings of a digest form its
// 64-digit lowercase hexadecimal text.
[[nodiscard]] std::vector<std::string> sha256HexDigits(std::span<const std::uint8_t> bytes);

// The lowercase hexadecimal text of any bytes, two digits per byte.
[[nodiscard]] std::string lowercaseHex(std::span<const std::uint8_t> bytes);

// The 64 lowercase hexadecimal digits of the SHA-256 of the given bytes.
[[nodiscard]] std::string sha256Hex(std::string_view bytes);

// True when the whole text is exactly 64 characters, each 0-9 or a-f: the
// form of every SHA-256 hash the system stores or compares. Upper-case
// digits, any other length and a trailing line break are refused.
[[nodiscard]] bool isLowercaseSha256Hex(std::string_view text) noexcept;

}  // namespace tarnel
