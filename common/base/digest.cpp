#include "common/base/digest.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <new>

namespace tarnel {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// A failed digest call means the process is out of resources; the library's
// error entries for it are dropped, so that no later call on this thread
// reads them as its own.
[[noreturn]] void outOfResources() {
    ERR_clear_error();
    throw std::bad_alloc();
}

Sha256Digest digestOf(const void* data, std::size_t size) {
    Sha256Digest digest{};
    unsigned int length = 0;
    // A one-shot digest fails only when OpenSSL cannot allocate its context or
    // fetch the algorithm; both mean the process is out of resources.
    if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size()) {
        outOfResources();
    }
    return digest;
}

}  // namespace

// Failures of the digest calls mean the same as in digestOf: no resources.
struct Sha256Hasher::Context {
    Context() : context(EVP_MD_CTX_new()) {
        if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
            EVP_MD_CTX_free(context);
            outOfResources();
        }
    }
    ~Context() { EVP_MD_CTX_free(context); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    EVP_MD_CTX* context;
};

Sha256Hasher::Sha256Hasher() : context_(std::make_unique<Context>()) {}
Sha256Hasher::~Sha256Hasher() = default;
Sha256Hasher::Sha256Hasher(Sha256Hasher&&) noexcept = default;
Sha256Hasher& Sha256Hasher::operator=(Sha256Hasher&&) noexcept = default;

void Sha256Hasher::update(std::string_view bytes) {
    if (EVP_DigestUpdate(context_->context, bytes.data(), bytes.size()) != 1) outOfResources();
}

Sha256Digest Sha256Hasher::finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_->context, digest.data(), &length) != 1 || length != digest.size() ||
        EVP_DigestInit_ex(context_->context, EVP_sha256(), nullptr) != 1) {
        outOfResources();
    }
    return digest;
}

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
