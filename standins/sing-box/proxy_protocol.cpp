#include "standins/sing-box/proxy_protocol.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "common/base/url.hpp"

namespace tarnel::standin {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// A token character of HTTP (RFC 9110): method and header names.
bool isTokenCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text) {
        if (!isTokenCharacter(c)) return false;
    }
    return true;
}

// Header field values: visible characters, spaces and tabs; no other control
// character (a CR or LF inside could smuggle a header upstream).
bool isFieldValue(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f) return false;
    }
    return true;
}

// Headers that concern this hop only; the proxy drops them and closes the
// upstream connection after one response.
bool isHopByHop(std::string_view name) {
    for (const std::string_view hop : {"Connection", "Proxy-Connection", "Keep-Alive", "Proxy-Authorization", "TE",
                                       "Trailer", "Upgrade"}) {
        if (equalsIgnoringCase(name, hop)) return true;
    }
    return false;
}

std::optional<ProxyTarget> authorityTarget(const UrlComponents& url) {
    if (!url.host() || url.host()->empty() || url.user() || !url.port()) return std::nullopt;
    return ProxyTarget{*url.host(), *url.port()};
}

std::uint16_t bigEndian16(std::string_view bytes) {
    const auto high = static_cast<unsigned char>(bytes[0]);
    const auto low = static_cast<unsigned char>(bytes[1]);
    return static_cast<std::uint16_t>((high << 8) | low);
}

}  // namespace

std::vector<ConnectMapping> parseConnectTo(std::string_view text) {
    std::vector<ConnectMapping> mappings;
    if (text.empty()) return mappings;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = text.find(',', start);
        const std::string_view entry = text.substr(start, comma == std::string_view::npos ? text.npos : comma - start);
        start = comma == std::string_view::npos ? text.size() + 1 : comma + 1;
        const auto refuse = [entry](std::string_view reason) {
            throw std::invalid_argument("\"" + std::string(entry) + "\": " + std::string(reason));
        };

        // Each field ends at the next ":" outside brackets.
        std::vector<std::string_view> fields;
        for (std::string_view rest = entry;;) {
            std::size_t end = std::min(rest.find(':'), rest.size());
            if (rest.starts_with('[')) {
                end = rest.find(']');
                if (end == std::string_view::npos) refuse("a \"[\" without its \"]\"");
                ++end;
                if (end < rest.size() && rest[end] != ':') refuse("text after \"]\"");
            }
            fields.push_back(rest.substr(0, end));
            if (end == rest.size()) break;
            rest.remove_prefix(end + 1);
        }
        if (fields.size() != 4) refuse("expected HOST:PORT:ADDRESS:PORT");

        const auto unbracketed = [](std::string_view field) {
            return field.starts_with('[') ? field.substr(1, field.size() - 2) : field;
        };
        const auto port = [&](std::string_view field) {
            unsigned value = 0;
            const auto* end = field.data() + field.size();
            const auto [stop, error] = std::from_chars(field.data(), end, value);
            if (field.empty() || field.front() < '0' || field.front() > '9' || error != std::errc() || stop != end ||
                value == 0 || value > 65535) {
                refuse("expected a port from 1 to 65535");
            }
            return static_cast<std::uint16_t>(value);
        };
        const std::string_view host = unbracketed(fields[0]);
        if (host.empty() || host.find_first_of(std::string_view(" \t\0", 3)) != std::string_view::npos ||
            (fields[0].starts_with('[') && !numericAddress(host))) {
            refuse("expected a host name or an IP literal");
        }
        const std::uint16_t hostPort = port(fields[1]);
        const std::string_view literal = unbracketed(fields[2]);
        // IPv6 goes in brackets, as in a URL; an IPv4 literal goes without.
        const bool bracketsRight = fields[2].starts_with('[') == (literal.find(':') != std::string_view::npos);
        const auto address = numericAddress(literal, port(fields[3]));
        if (!address || !bracketsRight) refuse("expected an IP literal (IPv6 in brackets) to connect to");
        mappings.push_back(ConnectMapping{std::string(host), hostPort, *address});
    }
    return mappings;
}

std::optional<sockaddr_storage> resolveTarget(const ProxyTarget& target, const std::vector<ConnectMapping>& mappings) {
    for (const auto& mapping : mappings) {
        if (mapping.port == target.port && equalsIgnoringCase(mapping.host, target.host)) return mapping.address;
    }
    if (equalsIgnoringCase(target.host, "localhost")) return numericAddress("127.0.0.1", target.port);
    return numericAddress(target.host, target.port);
}

std::optional<HttpProxyRequest> parseHttpProxyRequest(std::string_view head) {
    constexpr std::string_view lineEnd = "\r\n";
    if (head.size() < 4 || head.substr(head.size() - 4) != "\r\n\r\n") return std::nullopt;
    head.remove_suffix(2);  // each line, the last header's included, now ends with "\r\n"

    const std::size_t firstEnd = head.find(lineEnd);
    const std::string_view requestLine = head.substr(0, firstEnd);
    const std::size_t space1 = requestLine.find(' ');
    const std::size_t space2 = space1 == std::string_view::npos ? space1 : requestLine.find(' ', space1 + 1);
    if (space2 == std::string_view::npos || requestLine.find(' ', space2 + 1) != std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view method = requestLine.substr(0, space1);
    const std::string_view target = requestLine.substr(space1 + 1, space2 - space1 - 1);
    const std::string_view version = requestLine.substr(space2 + 1);
    if (!isToken(method) || (version != "HTTP/1.1" && version != "HTTP/1.0")) return std::nullopt;

    std::vector<std::pair<std::string_view, std::string_view>> headers;
    for (std::size_t start = firstEnd + lineEnd.size(); start < head.size();) {
        const std::size_t end = head.find(lineEnd, start);
        const std::string_view line = head.substr(start, end - start);
        start = end + lineEnd.size();
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return std::nullopt;
        std::string_view value = line.substr(colon + 1);
        if (!isFieldValue(value)) return std::nullopt;
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
        headers.emplace_back(line.substr(0, colon), value);
    }

    HttpProxyRequest request;
    if (method == "CONNECT") {
        // authority-form: host ":" port
        const auto url = UrlComponents::parse("//" + std::string(target));
        if (!url || !url->path().empty() || url->encodedQuery() || url->fragment()) return std::nullopt;
        const auto destination = authorityTarget(*url);
        if (!destination) return std::nullopt;
        request.tunnel = true;
        request.target = *destination;
        return request;
    }

    auto url = UrlComponents::parse(target);
    if (!url || !url->scheme() || !equalsIgnoringCase(*url->scheme(), "http") || !url->host() ||
        url->host()->empty() || url->user() || url->fragment()) {
        return std::nullopt;
    }
    request.target = ProxyTarget{*url->host(), url->port().value_or(80)};

    std::string originForm = url->encodedPath().empty() ? "/" : url->encodedPath();
    if (url->encodedQuery()) originForm += "?" + *url->encodedQuery();
    std::string upstream = std::string(method) + " " + originForm + " " + std::string(version) + "\r\n";
    bool hasHost = false;
    for (const auto& [name, value] : headers) {
        if (isHopByHop(name)) continue;
        hasHost = hasHost || equalsIgnoringCase(name, "Host");
        upstream += std::string(name) + ": " + std::string(value) + "\r\n";
    }
    if (!hasHost) {
        upstream += "Host: " + *url->encodedHost();
        if (url->port()) upstream += ":" + std::to_string(*url->port());
        upstream += "\r\n";
    }
    upstream += "Connection: close\r\n\r\n";
    request.upstreamHead = std::move(upstream);
    return request;
}

std::optional<SocksGreeting> parseSocksGreeting(std::string_view bytes) {
    if (bytes.size() < 2) return std::nullopt;
    if (bytes[0] != 5) throw std::invalid_argument("not a SOCKS5 greeting");
    const auto count = static_cast<unsigned char>(bytes[1]);
    if (count == 0) throw std::invalid_argument("a SOCKS5 greeting without methods");
    if (bytes.size() < 2u + count) return std::nullopt;
    const std::string_view methods = bytes.substr(2, count);
    return SocksGreeting{2u + count, methods.find('\0') != std::string_view::npos};
}

std::optional<SocksRequest> parseSocksRequest(std::string_view bytes) {
    if (bytes.size() < 4) return std::nullopt;
    if (bytes[0] != 5 || bytes[2] != 0) throw std::invalid_argument("not a SOCKS5 request");
    SocksRequest request;
    request.command = static_cast<std::uint8_t>(bytes[1]);
    const auto type = static_cast<unsigned char>(bytes[3]);
    std::size_t addressLength = 0;
    switch (type) {
        case 1: addressLength = 4; break;
        case 4: addressLength = 16; break;
        case 3:
            if (bytes.size() < 5) return std::nullopt;
            addressLength = 1 + static_cast<unsigned char>(bytes[4]);
            if (addressLength == 1) throw std::invalid_argument("a SOCKS5 request with an empty host name");
            break;
        default:
            // The length of an unknown address cannot be known: the request
            // ends here and is refused.
            request.length = 4;
            return request;
    }
    if (bytes.size() < 4 + addressLength + 2) return std::nullopt;
    request.length = 4 + addressLength + 2;
    const std::string_view address = bytes.substr(4, addressLength);
    const std::uint16_t port = bigEndian16(bytes.substr(4 + addressLength, 2));
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (type == 3) {
        request.target = ProxyTarget{std::string(address.substr(1)), port};
    } else {
        ::inet_ntop(type == 1 ? AF_INET : AF_INET6, address.data(), text.data(), text.size());
        request.target = ProxyTarget{text.data(), port};
    }
    return request;
}

std::string socksReply(SocksReply reply, const sockaddr_storage* bound) {
    std::string bytes{'\x05', static_cast<char>(reply), '\x00'};
    if (bound != nullptr && bound->ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(bound);
        bytes += '\x04';
        bytes.append(reinterpret_cast<const char*>(&v6->sin6_addr), 16);
        bytes.append(reinterpret_cast<const char*>(&v6->sin6_port), 2);
        return bytes;
    }
    bytes += '\x01';
    if (bound != nullptr && bound->ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(bound);
        bytes.append(reinterpret_cast<const char*>(&v4->sin_addr), 4);
        bytes.append(reinterpret_cast<const char*>(&v4->sin_port), 2);
    } else {
        bytes.append(6, '\0');
    }
    return bytes;
}

}  // namespace tarnel::standin
