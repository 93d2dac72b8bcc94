#include "common/base/uuid.hpp"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace tarnel {

namespace {
constexpr std::array<std::size_t, 4> kDashPositions{8, 13, 18, 23};

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

Uuid Uuid::random() {
    Bytes bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        ERR_clear_error();  // its entries are not left for a later call on this thread
        throw std::runtime_error("The system random generator failed.");
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    return Uuid(bytes);
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    Bytes bytes{};
    std::size_t byteIndex = 0;
    std::size_t dash = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (dash < kDashPositions.size() && i == kDashPositions[dash]) {
            if (text[i] != '-') return std::nullopt;
            ++dash;
            ++i;
            continue;
        }
        const int high = hexValue(text[i]);
        const int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes[byteIndex++] = static_cast<std::uint8_t>(high * 16 + low);
        i += 2;
    }
    return Uuid(bytes);
}

std::string Uuid::text() const {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += kDigits[bytes_[i] >> 4];
        out += kDigits[bytes_[i] & 0x0F];
    }
    return out;
}

}  // namespace tarnel

std::size_t std::hash<tarnel::Uuid>::operator()(const tarnel::Uuid& uuid) const noexcept {
    std::size_t value = 1469598103934665603ULL;
    for (auto byte : uuid.bytes()) {
        value = (value ^ byte) * 1099511628211ULL;
    }
    return value;
}
