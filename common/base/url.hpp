#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel {

// Decodes every "%XX" escape (either letter case) into its byte and copies
// every other character unchanged; "+" stays "+". Gives nothing when a "%"
// is not followed by two hexadecimal digits or when the result is not
// well-formed UTF-8. Control characters are not refused here (UrlComponents
// refuses them in its decoded parts).
[[nodiscard]] std::optional<std::string> percentDecode(std::string_view text);

// Percent-encodes (upper-case hexadecimal) every byte except the unreserved
// characters A-Z a-z 0-9 "-" "." "_" "~" and the ASCII characters listed in
// `alsoKept`. Bytes of non-ASCII characters are always encoded.
[[nodiscard]] std::string percentEncode(std::string_view text, std::string_view alsoKept = {});

// The components of a URI reference, read strictly and kept both as written
// (the "encoded" forms, byte for byte) and percent-decoded.
//
// Grammar: [scheme ":"] ["//" [user [":" password] "@"] host [":" port]] path
// ["?" query] ["#" fragment], with the character sets of the URI standard
// (RFC 3986), where in addition non-ASCII characters (well-formed UTF-8) may
// appear raw in the user information, host, path, query and fragment.
// parse() refuses:
// - control characters (C0, DEL, C1) and spaces anywhere, raw or
//   percent-encoded, and ill-formed UTF-8, raw or after decoding;
// - a "%" not followed by two hexadecimal digits;
// - characters outside a component's set, among them a raw "[", "]", "\",
//   "|", "^", "`", "{", "}", "<", ">", '"' outside an IPv6 literal, a second
//   "#", and a second "@" in the authority (write "@" in user information as
//   "%40");
// - a text before the first ":" that is not a valid scheme (a letter, then
//   letters, digits, "+", "-", "."), unless a "/", "?" or "#" comes first;
// - a port that is empty, has anything but the digits 0-9, a leading zero
//   ("0" itself is allowed) or a value above 65535;
// - a bracketed host that is not an IPv6 address (no zone identifier, no
//   "IPvFuture" form), and a host whose decoded text holds a character that a
//   host may not hold raw (":", "/", "@", "%", ...).
// Nothing is lower-cased, normalised or resolved: the scheme and host keep
// their letter case, "." and ".." path segments stay, an empty query ("?")
// stays distinct from no query.
class UrlComponents {
public:
    // One "&"-separated piece of the query: the name is the text before the
    // first "=", the value the text after it (absent without "="). Both are
    // percent-decoded, with "+" kept as "+".
    struct QueryItem {
        std::string name;
        std::optional<std::string> value;
        // The item as written in the URL; an item read from a URL is written
        // back unchanged.
        std::string encodedName;
        std::optional<std::string> encodedValue;

        // An item from plain text. Everything but the unreserved characters
        // and ! $ ' ( ) * , / : @ ? is percent-encoded, so "&", "=", "+", ";"
        // and "#" reach a server as themselves.
        [[nodiscard]] static QueryItem make(std::string_view name,
                                            std::optional<std::string_view> value = std::nullopt);

        friend bool operator==(const QueryItem&, const QueryItem&) = default;
    };

    // The empty relative reference: no scheme, no authority, empty path.
    UrlComponents() = default;

    [[nodiscard]] static std::optional<UrlComponents> parse(std::string_view text);
    // The query items of a query written without its "?": an empty text has
    // none; otherwise every "&"-separated piece is one item, an empty piece
    // giving an item with an empty name and no value. Refuses what parse()
    // refuses in a query.
    [[nodiscard]] static std::optional<std::vector<QueryItem>> parseQuery(std::string_view encodedQuery);

    // The reference written out from the encoded forms; a parsed reference
    // gives back exactly the text it was parsed from.
    [[nodiscard]] std::string text() const;

    // As written, letter case kept.
    [[nodiscard]] const std::optional<std::string>& scheme() const noexcept { return scheme_; }
    // Present (possibly empty) when the user information has an "@"; "@host"
    // and ":secret@host" give an empty user.
    [[nodiscard]] const std::optional<std::string>& user() const noexcept { return user_; }
    [[nodiscard]] const std::optional<std::string>& encodedUser() const noexcept { return encodedUser_; }
    // The text after the first ":" of the user information; absent without
    // that ":", empty for "user:@host".
    [[nodiscard]] const std::optional<std::string>& password() const noexcept { return password_; }
    [[nodiscard]] const std::optional<std::string>& encodedPassword() const noexcept { return encodedPassword_; }
    // Present exactly when the reference has an authority ("//"); may be
    // empty ("file:///x"). Decoded, without the brackets of an IPv6 literal.
    [[nodiscard]] const std::optional<std::string>& host() const noexcept { return host_; }
    // As written, with the brackets of an IPv6 literal.
    [[nodiscard]] const std::optional<std::string>& encodedHost() const noexcept { return encodedHost_; }
    [[nodiscard]] bool hostIsIPv6Literal() const noexcept { return hostIsIPv6Literal_; }
    [[nodiscard]] std::optional<std::uint16_t> port() const noexcept { return port_; }
    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] const std::string& encodedPath() const noexcept { return encodedPath_; }
    // Present (possibly empty) when the reference has a "?".
    [[nodiscard]] const std::optional<std::string>& encodedQuery() const noexcept { return encodedQuery_; }
    // Absent without a query, empty for an empty query.
    [[nodiscard]] const std::optional<std::vector<QueryItem>>& queryItems() const noexcept { return queryItems_; }
    // Present (possibly empty) when the reference has a "#".
    [[nodiscard]] const std::optional<std::string>& fragment() const noexcept { return fragment_; }
    [[nodiscard]] const std::optional<std::string>& encodedFragment() const noexcept { return encodedFragment_; }

    // Setters take decoded text and percent-encode what the component may not
    // hold raw. Each one leaves the components unchanged and throws
    // std::invalid_argument when the result would not read back as the same
    // components: a scheme of the wrong form, control characters, a port or
    // user information without a host, a password without a user, a host
    // with ":" that is not an IPv6 address, a path that does not start with
    // "/" while there is a host (or starts with "//" while there is none), a
    // query item that cannot be told apart from its neighbours.
    void setScheme(std::optional<std::string_view> scheme);
    void setUser(std::optional<std::string_view> user);
    void setPassword(std::optional<std::string_view> password);
    // A host with ":" is written as a bracketed IPv6 literal.
    void setHost(std::optional<std::string_view> host);
    void setPort(std::optional<std::uint16_t> port);
    void setPath(std::string_view path);
    // Absent removes the query; an empty list leaves an empty query ("?").
    void setQueryItems(std::optional<std::vector<QueryItem>> items);
    void setFragment(std::optional<std::string_view> fragment);

    friend bool operator==(const UrlComponents&, const UrlComponents&) = default;

private:
    template <typename Change>
    void modify(Change&& change);

    std::optional<std::string> scheme_;
    std::optional<std::string> user_;
    std::optional<std::string> encodedUser_;
    std::optional<std::string> password_;
    std::optional<std::string> encodedPassword_;
    std::optional<std::string> host_;
    std::optional<std::string> encodedHost_;
    bool hostIsIPv6Literal_ = false;
    std::optional<std::uint16_t> port_;
    std::string path_;
    std::string encodedPath_;
    std::optional<std::string> encodedQuery_;
    std::optional<std::vector<QueryItem>> queryItems_;
    std::optional<std::string> fragment_;
    std::optional<std::string> encodedFragment_;
};

}  // namespace tarnel
