#include "common/base64.hpp"

#include <array>
#include <cstdint>

namespace tarnel {

namespace {

constexpr std::string_view kStandardAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kUrlAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::uint8_t kNotInAlphabet = 0xFF;

constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    table.fill(kNotInAlphabet);
    for (std::size_t index = 0; index < kStandardAlphabet.size(); ++index) {
        table[static_cast<unsigned char>(kStandardAlphabet[index])] = static_cast<std::uint8_t>(index);
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecodeTable = makeDecodeTable();

std::string encode(std::string_view bytes, std::string_view alphabet, bool pad) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t index = 0;
    const auto byteAt = [&bytes](std::size_t at) -> std::uint32_t {
        return static_cast<unsigned char>(bytes[at]);
    };
    for (; index + 3 <= bytes.size(); index += 3) {
        const std::uint32_t group = byteAt(index) << 16 | byteAt(index + 1) << 8 | byteAt(index + 2);
        out += alphabet[group >> 18 & 0x3F];
        out += alphabet[group >> 12 & 0x3F];
        out += alphabet[group >> 6 & 0x3F];
        out += alphabet[group & 0x3F];
    }
    const std::size_t rest = bytes.size() - index;
    if (rest == 1) {
        const std::uint32_t group = byteAt(index) << 16;
        out += alphabet[group >> 18 & 0x3F];
        out += alphabet[group >> 12 & 0x3F];
        if (pad) out += "==";
    } else if (rest == 2) {
        const std::uint32_t group = byteAt(index) << 16 | byteAt(index + 1) << 8;
        out += alphabet[group >> 18 & 0x3F];
        out += alphabet[group >> 12 & 0x3F];
        out += alphabet[group >> 6 & 0x3F];
        if (pad) out += '=';
    }
    return out;
}

}  // namespace

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t start = 0; start < text.size(); start += 4) {
        const bool lastGroup = start + 4 == text.size();
        // Padding belongs only to the last group: "xx==" or "xxx=".
        std::size_t padding = 0;
        if (lastGroup && text[start + 3] == '=') padding = text[start + 2] == '=' ? 2 : 1;
        std::uint32_t group = 0;
        for (std::size_t offset = 0; offset < 4 - padding; ++offset) {
            const std::uint8_t sextet = kDecodeTable[static_cast<unsigned char>(text[start + offset])];
            if (sextet == kNotInAlphabet) return std::nullopt;
            group |= static_cast<std::uint32_t>(sextet) << (18 - 6 * offset);
        }
        out += static_cast<char>(group >> 16 & 0xFF);
        if (padding == 2) {
            if ((group & 0xFFFF) != 0) return std::nullopt;  // bits beyond the one byte
            break;
        }
        out += static_cast<char>(group >> 8 & 0xFF);
        if (padding == 1) {
            if ((group & 0xFF) != 0) return std::nullopt;  // bits beyond the two bytes
            break;
        }
        out += static_cast<char>(group & 0xFF);
    }
    return out;
}

std::optional<std::string> base64UrlDecode(std::string_view text) {
    std::string standard(text);
    for (char& character : standard) {
        if (character == '-') {
            character = '+';
        } else if (character == '_') {
            character = '/';
        }
    }
    standard.append((4 - standard.size() % 4) % 4, '=');
    return base64Decode(standard);
}

std::string base64Encode(std::string_view bytes) { return encode(bytes, kStandardAlphabet, true); }

std::string base64UrlEncode(std::string_view bytes) { return encode(bytes, kUrlAlphabet, false); }

}  // namespace tarnel
