#include "common/base/utf8.hpp"

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace tarnel::utf8 {

std::optional<char32_t> decodeNext(std::string_view text, std::size_t& offset) noexcept {
    if (offset >= text.size()) {
        return std::nullopt;
    }
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(offset);
    if (lead < 0x80) {
        ++offset;
        return lead;
    }
    std::size_t length = 0;
    char32_t scalar = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        scalar = lead & 0x1F;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        scalar = lead & 0x0F;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        scalar = lead & 0x07;
        minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - offset < length) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(offset + i);
        if ((next & 0xC0) != 0x80) {
            return std::nullopt;
        }
        scalar = (scalar << 6) | (next & 0x3F);
    }
    if (scalar < minimum || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) {
        return std::nullopt;
    }
    offset += length;
    return scalar;
}

bool isValid(std::string_view text) noexcept {
    std::size_t offset = 0;
    while (offset < text.size()) {
        // Runs of ASCII are the common case; skip them without decoding,
        // eight bytes at a time while no byte has its high bit set.
        std::uint64_t word = 0;
        if (text.size() - offset >= sizeof word) {
            std::memcpy(&word, text.data() + offset, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                offset += sizeof word;
                continue;
            }
        }
        if (static_cast<unsigned char>(text[offset]) < 0x80) {
            ++offset;
            continue;
        }
        if (!decodeNext(text, offset)) {
            return false;
        }
    }
    return true;
}

namespace {

// The length of the longest prefix, starting at `offset`, that could begin a
// well-formed sequence but does not complete one; at least 1.
std::size_t maximalIllFormedSubpart(std::string_view text, std::size_t offset) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(offset);
    std::size_t length = 0;
    unsigned char secondLow = 0x80;
    unsigned char secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) secondLow = 0xA0;
        if (lead == 0xED) secondHigh = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) secondLow = 0x90;
        if (lead == 0xF4) secondHigh = 0x8F;
    } else {
        return 1;
    }
    std::size_t taken = 1;
    while (taken < length && offset + taken < text.size()) {
        const unsigned char next = byte(offset + taken);
        const unsigned char low = taken == 1 ? secondLow : 0x80;
        const unsigned char high = taken == 1 ? secondHigh : 0xBF;
        if (next < low || next > high) {
            break;
        }
        ++taken;
    }
    return taken;
}

}  // namespace

std::string decodeReplacingInvalid(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const std::size_t start = offset;
        if (static_cast<unsigned char>(bytes[offset]) < 0x80) {
            out += bytes[offset];
            ++offset;
        } else if (decodeNext(bytes, offset)) {
            out.append(bytes.substr(start, offset - start));
        } else {
            out += "\xEF\xBF\xBD";
            offset += maximalIllFormedSubpart(bytes, offset);
        }
    }
    return out;
}

void append(std::string& out, char32_t scalar) {
    if (scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) {
        throw std::invalid_argument("not a Unicode scalar value");
    }
    if (scalar < 0x80) {
        out += static_cast<char>(scalar);
    } else if (scalar < 0x800) {
        out += static_cast<char>(0xC0 | (scalar >> 6));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    } else if (scalar < 0x10000) {
        out += static_cast<char>(0xE0 | (scalar >> 12));
        out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (scalar >> 18));
        out += static_cast<char>(0x80 | ((scalar >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    }
}

bool isWhiteSpace(char32_t scalar) noexcept {
    return (scalar >= 0x09 && scalar <= 0x0D) || scalar == 0x20 || scalar == 0x85 || scalar == 0xA0 ||
           scalar == 0x1680 || (scalar >= 0x2000 && scalar <= 0x200A) || scalar == 0x2028 || scalar == 0x2029 ||
           scalar == 0x202F || scalar == 0x205F || scalar == 0x3000;
}

bool isLineBreak(char32_t scalar) noexcept {
    return (scalar >= 0x0A && scalar <= 0x0D) || scalar == 0x85 || scalar == 0x2028 || scalar == 0x2029;
}

std::size_t whiteSpaceLength(std::string_view text, std::size_t offset) noexcept {
    if (offset >= text.size()) return 0;
    // Every white-space character outside ASCII starts with one of these bytes.
    const auto lead = static_cast<unsigned char>(text[offset]);
    if (lead < 0x80) return (lead == 0x20 || (lead >= 0x09 && lead <= 0x0D)) ? 1 : 0;
    if (lead != 0xC2 && lead != 0xE1 && lead != 0xE2 && lead != 0xE3) return 0;
    std::size_t next = offset;
    const auto scalar = decodeNext(text, next);
    return scalar && isWhiteSpace(*scalar) ? next - offset : 0;
}

std::string_view trimWhiteSpace(std::string_view text) noexcept {
    std::size_t start = 0;
    while (const std::size_t length = whiteSpaceLength(text, start)) start += length;
    // Scan forward to find where the trailing run of white space begins: UTF-8
    // is decoded from the front, never from the back.
    std::size_t end = start;
    std::size_t offset = start;
    while (offset < text.size()) {
        if (const std::size_t length = whiteSpaceLength(text, offset)) {
            offset += length;
        } else {
            // Past one character (or one ill-formed byte): continuation
            // bytes never start white space, so stepping by a byte is enough.
            end = ++offset;
        }
    }
    return text.substr(start, end - start);
}

}  // namespace tarnel::utf8
