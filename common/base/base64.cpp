#include "common/base/base64.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

namespace tarnel {

namespace {

constexpr std::string_view kStandardAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kUrlAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::uint8_t kNotInAlphabet = 0xFF;

using DecodeTable = std::array<std::uint8_t, 256>;

// The value of each character of the alphabet; `urlToo` also reads "-" and
// "_" as "+" and "/" do.
constexpr DecodeTable makeDecodeTable(bool urlToo) {
    DecodeTable table{};
    table.fill(kNotInAlphabet);
    for (std::size_t index = 0; index < kStandardAlphabet.size(); ++index) {
        table[static_cast<unsigned char>(kStandardAlphabet[index])] = static_cast<std::uint8_t>(index);
    }
    if (urlToo) {
        table['-'] = 62;
        table['_'] = 63;
    }
    return table;
}

constexpr DecodeTable kDecodeTable = makeDecodeTable(false);
constexpr DecodeTable kUrlDecodeTable = makeDecodeTable(true);

// Strict Base64 of `text` followed by `padding` "=" characters, each
// character read through `table`.
std::optional<std::string> decode(std::string_view text, std::size_t padding, const DecodeTable& table) {
    const std::size_t length = text.size() + padding;
    if (length % 4 != 0) return std::nullopt;
    if (length == 0) return std::string();
    const auto sextet = [&table](char character) -> std::uint32_t {
        return table[static_cast<unsigned char>(character)];
    };

    // Every group but the last: four characters of the alphabet, three bytes.
    const std::size_t lastStart = length - 4;
    std::string out(lastStart / 4 * 3, '\0');
    char* bytes = out.data();
    for (std::size_t start = 0; start < lastStart; start += 4) {
        const std::uint32_t a = sextet(text[start]);
        const std::uint32_t b = sextet(text[start + 1]);
        const std::uint32_t c = sextet(text[start + 2]);
        const std::uint32_t d = sextet(text[start + 3]);
        // A character outside the alphabet reads as 0xFF, whose high bits no sextet has.
        if (((a | b | c | d) & 0xC0) != 0) return std::nullopt;
        const std::uint32_t group = a << 18 | b << 12 | c << 6 | d;
        *bytes++ = static_cast<char>(group >> 16 & 0xFF);
        *bytes++ = static_cast<char>(group >> 8 & 0xFF);
        *bytes++ = static_cast<char>(group & 0xFF);
    }

    // The last group, with the padding that may end it: "xx==" or "xxx=".
    std::array<char, 4> last = {'=', '=', '=', '='};
    std::copy(text.begin() + static_cast<std::ptrdiff_t>(lastStart), text.end(), last.begin());
    std::size_t lastPadding = 0;
    if (last[3] == '=') lastPadding = last[2] == '=' ? 2 : 1;
    std::uint32_t group = 0;
    for (std::size_t offset = 0; offset < 4 - lastPadding; ++offset) {
        const std::uint32_t value = sextet(last[offset]);
        if (value == kNotInAlphabet) return std::nullopt;
        group |= value << (18 - 6 * offset);
    }
    out += static_cast<char>(group >> 16 & 0xFF);
    if (lastPadding == 2) {
        if ((group & 0xFFFF) != 0) return std::nullopt;  // bits beyond the one byte
        return out;
    }
    out += static_cast<char>(group >> 8 & 0xFF);
    if (lastPadding == 1) {
        if ((group & 0xFF) != 0) return std::nullopt;  // bits beyond the two bytes
        return out;
    }
    out += static_cast<char>(group & 0xFF);
    return out;
}

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

std::optional<std::string> base64Decode(std::string_view text) { return decode(text, 0, kDecodeTable); }

std::optional<std::string> base64UrlDecode(std::string_view text) {
    // Completed with "=" to a whole number of groups, as if it were written out.
    return decode(text, (4 - text.size() % 4) % 4, kUrlDecodeTable);
}

std::string base64Encode(std::string_view bytes) { return encode(bytes, kStandardAlphabet, true); }

std::string base64UrlEncode(std::string_view bytes) { return encode(bytes, kUrlAlphabet, false); }

}  // namespace tarnel
