#include "common/base/url.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "common/base/ip_literal.hpp"
#include "common/base/utf8.hpp"

namespace tarnel {
namespace {

bool isAlpha(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

int hexValue(char c) noexcept {
    if (isDigit(c)) return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool isUnreserved(char c) noexcept {
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool isSubDelimiter(char c) noexcept {
    switch (c) {
        case '!': case '$': case '&': case '\'': case '(': case ')':
        case '*': case '+': case ',': case ';': case '=':
            return true;
        default:
            return false;
    }
}

// The components whose raw text is checked against a character set.
enum class Part { userInformation, host, path, queryOrFragment };

// Whether an ASCII character may appear raw (not percent-encoded) in a part.
bool isAllowedRaw(char c, Part part) noexcept {
    if (isUnreserved(c) || isSubDelimiter(c)) return true;
    switch (part) {
        case Part::userInformation: return c == ':';
        case Part::host: return false;
        case Part::path: return c == ':' || c == '@' || c == '/';
        case Part::queryOrFragment: return c == ':' || c == '@' || c == '/' || c == '?';
    }
    return false;
}

bool isControl(char32_t scalar) noexcept {
    return scalar < 0x20 || (scalar >= 0x7F && scalar <= 0x9F);
}

// Well-formed UTF-8 without control characters.
bool isCleanText(std::string_view text) noexcept {
    std::size_t offset = 0;
    while (offset < text.size()) {
        const auto scalar = utf8::decodeNext(text, offset);
        if (!scalar || isControl(*scalar)) return false;
    }
    return true;
}

// Non-ASCII characters written raw must be well-formed and not controls;
// ASCII characters are checked against each part's set.
bool hasCleanNonAscii(std::string_view text) noexcept {
    std::size_t offset = 0;
    while (offset < text.size()) {
        if (static_cast<unsigned char>(text[offset]) < 0x80) {
            ++offset;
            continue;
        }
        const auto scalar = utf8::decodeNext(text, offset);
        if (!scalar || isControl(*scalar)) return false;
    }
    return true;
}

// Checks the raw text of a part: each ASCII character must be allowed raw or
// start a complete escape; non-ASCII characters were checked for the whole
// text beforehand.
bool isValidRaw(std::string_view raw, Part part) noexcept {
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (static_cast<unsigned char>(c) >= 0x80) continue;
        if (c == '%') {
            if (raw.size() - i < 3) return false;
            if (hexValue(raw[i + 1]) < 0 || hexValue(raw[i + 2]) < 0) return false;
            i += 2;
            continue;
        }
        if (!isAllowedRaw(c, part)) return false;
    }
    return true;
}

// The decoded text of a valid raw part, refused when it is not clean text.
std::optional<std::string> decodePart(std::string_view raw, Part part) {
    if (!isValidRaw(raw, part)) return std::nullopt;
    auto decoded = percentDecode(raw);
    if (!decoded || !isCleanText(*decoded)) return std::nullopt;
    return decoded;
}

bool isValidScheme(std::string_view scheme) noexcept {
    if (scheme.empty() || !isAlpha(scheme.front())) return false;
    for (const char c : scheme) {
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

bool isIPv6Address(std::string_view text) { return ipLiteralFamily(text) == IPAddressFamily::ipv6; }

std::optional<std::uint16_t> parsePort(std::string_view text) noexcept {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text.front() == '0')) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        if (!isDigit(c)) return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > 65'535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// The characters each setter keeps raw, beyond the unreserved ones.
constexpr std::string_view kSubDelimiters = "!$&'()*+,;=";
constexpr std::string_view kPathKept = "!$&'()*+,;=:@/";
constexpr std::string_view kFragmentKept = "!$&'()*+,;=:@/?";
constexpr std::string_view kQueryItemKept = "!$'()*,/:@?";

}  // namespace

std::optional<std::string> percentDecode(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (text.size() - i < 3) return std::nullopt;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (!utf8::isValid(decoded)) return std::nullopt;
    return decoded;
}

std::string percentEncode(std::string_view text, std::string_view alsoKept) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80 && (isUnreserved(c) || alsoKept.find(c) != std::string_view::npos)) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHexDigits[byte >> 4];
            encoded += kHexDigits[byte & 0x0F];
        }
    }
    return encoded;
}

UrlComponents::QueryItem UrlComponents::QueryItem::make(std::string_view name,
                                                        std::optional<std::string_view> value) {
    QueryItem item;
    item.name = std::string(name);
    item.encodedName = percentEncode(name, kQueryItemKept);
    if (value) {
        item.value = std::string(*value);
        item.encodedValue = percentEncode(*value, kQueryItemKept);
    }
    return item;
}

std::optional<std::vector<UrlComponents::QueryItem>> UrlComponents::parseQuery(std::string_view encodedQuery) {
    if (!hasCleanNonAscii(encodedQuery)) return std::nullopt;
    std::vector<QueryItem> items;
    if (encodedQuery.empty()) return items;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = std::min(encodedQuery.find('&', start), encodedQuery.size());
        const std::string_view piece = encodedQuery.substr(start, end - start);
        QueryItem item;
        const std::size_t equals = piece.find('=');
        item.encodedName = std::string(piece.substr(0, equals));
        if (equals != std::string_view::npos) item.encodedValue = std::string(piece.substr(equals + 1));
        auto name = decodePart(item.encodedName, Part::queryOrFragment);
        if (!name) return std::nullopt;
        item.name = std::move(*name);
        if (item.encodedValue) {
            auto value = decodePart(*item.encodedValue, Part::queryOrFragment);
            if (!value) return std::nullopt;
            item.value = std::move(*value);
        }
        items.push_back(std::move(item));
        if (end == encodedQuery.size()) break;
        start = end + 1;
    }
    return items;
}

std::optional<UrlComponents> UrlComponents::parse(std::string_view text) {
    if (!hasCleanNonAscii(text)) return std::nullopt;

    UrlComponents result;
    std::string_view rest = text;

    // Scheme: the text before a ":" that comes ahead of any "/", "?" or "#".
    const std::size_t firstDelimiter = rest.find_first_of(":/?#");
    if (firstDelimiter != std::string_view::npos && rest[firstDelimiter] == ':') {
        const std::string_view scheme = rest.substr(0, firstDelimiter);
        // Without a valid scheme the text would be a relative path whose
        // first segment holds a ":", which the grammar does not allow.
        if (!isValidScheme(scheme)) return std::nullopt;
        result.scheme_ = std::string(scheme);
        rest.remove_prefix(firstDelimiter + 1);
    }

    if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
        const std::string_view raw = rest.substr(hash + 1);
        auto decoded = decodePart(raw, Part::queryOrFragment);
        if (!decoded) return std::nullopt;
        result.encodedFragment_ = std::string(raw);
        result.fragment_ = std::move(decoded);
        rest = rest.substr(0, hash);
    }

    if (const std::size_t question = rest.find('?'); question != std::string_view::npos) {
        const std::string_view raw = rest.substr(question + 1);
        auto items = parseQuery(raw);
        if (!items) return std::nullopt;
        result.encodedQuery_ = std::string(raw);
        result.queryItems_ = std::move(items);
        rest = rest.substr(0, question);
    }

    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const std::size_t slash = std::min(rest.find('/'), rest.size());
        std::string_view authority = rest.substr(0, slash);
        rest.remove_prefix(slash);

        if (const std::size_t at = authority.find('@'); at != std::string_view::npos) {
            const std::string_view userInformation = authority.substr(0, at);
            authority.remove_prefix(at + 1);
            if (authority.find('@') != std::string_view::npos) return std::nullopt;
            const std::size_t colon = userInformation.find(':');
            const std::string_view rawUser = userInformation.substr(0, colon);
            auto user = decodePart(rawUser, Part::userInformation);
            if (!user) return std::nullopt;
            result.encodedUser_ = std::string(rawUser);
            result.user_ = std::move(user);
            if (colon != std::string_view::npos) {
                const std::string_view rawPassword = userInformation.substr(colon + 1);
                auto password = decodePart(rawPassword, Part::userInformation);
                if (!password) return std::nullopt;
                result.encodedPassword_ = std::string(rawPassword);
                result.password_ = std::move(password);
            }
        }

        std::string_view rawHost;
        std::string_view portText;
        bool hasPort = false;
        if (authority.starts_with('[')) {
            const std::size_t close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            const std::string_view literal = authority.substr(1, close - 1);
            if (!isIPv6Address(literal)) return std::nullopt;
            rawHost = authority.substr(0, close + 1);
            result.host_ = std::string(literal);
            result.hostIsIPv6Literal_ = true;
            const std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':') return std::nullopt;
                hasPort = true;
                portText = after.substr(1);
            }
        } else {
            const std::size_t colon = authority.find(':');
            rawHost = authority.substr(0, colon);
            if (colon != std::string_view::npos) {
                hasPort = true;
                portText = authority.substr(colon + 1);
            }
            auto host = decodePart(rawHost, Part::host);
            if (!host) return std::nullopt;
            // The decoded host may hold only what a host may hold raw, so
            // that an escape cannot smuggle in a ":", "/", "@" or "%".
            for (const char c : *host) {
                if (static_cast<unsigned char>(c) < 0x80 && !isAllowedRaw(c, Part::host)) return std::nullopt;
            }
            result.host_ = std::move(host);
        }
        result.encodedHost_ = std::string(rawHost);
        if (hasPort) {
            result.port_ = parsePort(portText);
            if (!result.port_) return std::nullopt;
        }
    }

    auto path = decodePart(rest, Part::path);
    if (!path) return std::nullopt;
    result.encodedPath_ = std::string(rest);
    result.path_ = std::move(*path);
    return result;
}

std::string UrlComponents::text() const {
    std::string out;
    if (scheme_) {
        out += *scheme_;
        out += ':';
    }
    if (encodedHost_) {
        out += "//";
        if (encodedUser_) {
            out += *encodedUser_;
            if (encodedPassword_) {
                out += ':';
                out += *encodedPassword_;
            }
            out += '@';
        } else if (encodedPassword_) {
            out += ':';
            out += *encodedPassword_;
            out += '@';
        }
        out += *encodedHost_;
        if (port_) {
            out += ':';
            out += std::to_string(*port_);
        }
    }
    out += encodedPath_;
    if (encodedQuery_) {
        out += '?';
        out += *encodedQuery_;
    }
    if (encodedFragment_) {
        out += '#';
        out += *encodedFragment_;
    }
    return out;
}

// Applies a change to a copy and adopts it only if its text reads back as
// exactly the same components, which keeps every instance consistent with
// what parse() accepts.
template <typename Change>
void UrlComponents::modify(Change&& change) {
    UrlComponents changed = *this;
    std::forward<Change>(change)(changed);
    auto reread = parse(changed.text());
    if (!reread || !(*reread == changed)) {
        throw std::invalid_argument("URL components would not read back as set");
    }
    *this = std::move(*reread);
}

void UrlComponents::setScheme(std::optional<std::string_view> scheme) {
    modify([&](UrlComponents& url) {
        url.scheme_ = scheme ? std::optional<std::string>(*scheme) : std::nullopt;
    });
}

void UrlComponents::setUser(std::optional<std::string_view> user) {
    modify([&](UrlComponents& url) {
        url.user_ = user ? std::optional<std::string>(*user) : std::nullopt;
        url.encodedUser_ = user ? std::optional<std::string>(percentEncode(*user, kSubDelimiters)) : std::nullopt;
    });
}

void UrlComponents::setPassword(std::optional<std::string_view> password) {
    modify([&](UrlComponents& url) {
        url.password_ = password ? std::optional<std::string>(*password) : std::nullopt;
        url.encodedPassword_ =
            password ? std::optional<std::string>(percentEncode(*password, kSubDelimiters)) : std::nullopt;
    });
}

void UrlComponents::setHost(std::optional<std::string_view> host) {
    modify([&](UrlComponents& url) {
        url.hostIsIPv6Literal_ = host && host->find(':') != std::string_view::npos;
        url.host_ = host ? std::optional<std::string>(*host) : std::nullopt;
        if (!host) {
            url.encodedHost_.reset();
        } else if (url.hostIsIPv6Literal_) {
            url.encodedHost_ = "[" + std::string(*host) + "]";
        } else {
            url.encodedHost_ = percentEncode(*host, kSubDelimiters);
        }
    });
}

void UrlComponents::setPort(std::optional<std::uint16_t> port) {
    modify([&](UrlComponents& url) { url.port_ = port; });
}

void UrlComponents::setPath(std::string_view path) {
    modify([&](UrlComponents& url) {
        url.path_ = std::string(path);
        url.encodedPath_ = percentEncode(path, kPathKept);
    });
}

void UrlComponents::setQueryItems(std::optional<std::vector<QueryItem>> items) {
    modify([&](UrlComponents& url) {
        if (!items) {
            url.encodedQuery_.reset();
            url.queryItems_.reset();
            return;
        }
        std::string query;
        for (std::size_t i = 0; i < items->size(); ++i) {
            const QueryItem& item = (*items)[i];
            if (i > 0) query += '&';
            query += item.encodedName;
            if (item.encodedValue) {
                query += '=';
                query += *item.encodedValue;
            }
        }
        url.encodedQuery_ = std::move(query);
        url.queryItems_ = std::move(items);
    });
}

void UrlComponents::setFragment(std::optional<std::string_view> fragment) {
    modify([&](UrlComponents& url) {
        url.fragment_ = fragment ? std::optional<std::string>(*fragment) : std::nullopt;
        url.encodedFragment_ =
            fragment ? std::optional<std::string>(percentEncode(*fragment, kFragmentKept)) : std::nullopt;
    });
}

}  // namespace tarnel
