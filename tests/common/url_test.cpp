#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/base/url.hpp"

namespace tarnel {
namespace {

using Item = UrlComponents::QueryItem;
using std::nullopt;
using Text = std::optional<std::string>;

// A query item as (decoded name, decoded value).
struct Pair {
    std::string name;
    Text value;
    friend bool operator==(const Pair&, const Pair&) = default;
};

std::vector<Pair> pairsOf(const std::vector<Item>& items) {
    std::vector<Pair> pairs;
    for (const auto& item : items) pairs.push_back({item.name, item.value});
    return pairs;
}

std::string show(const Text& text) { return text ? "\"" + *text + "\"" : "(absent)"; }

TEST(UrlComponents, ReadsEachComponentDecodedAndAsWritten) {
    const struct {
        const char* text;
        Text scheme, user, encodedUser, password, host, encodedHost;
        bool ipv6;
        std::optional<int> port;
        const char* path;
        const char* encodedPath;
        Text fragment, encodedFragment;
    } cases[] = {
        // An access link: user id, host, port, query and a route name.
        {"vless://3f2504e0-4f89-11d3-9a0c-0305e82c3301@RO-1.Example.com:443?security=reality#Romania%20VLESS",
         "vless", "3f2504e0-4f89-11d3-9a0c-0305e82c3301", "3f2504e0-4f89-11d3-9a0c-0305e82c3301", nullopt,
         "RO-1.Example.com", "RO-1.Example.com", false, 443, "", "", "Romania VLESS", "Romania%20VLESS"},
        // "@" and ":" inside user information are written encoded; IPv6 host.
        {"hy2://p%40ss%3Aw+rd@[2001:db8::1]:8443/?insecure=1#%D0%A0%D1%83", "hy2", "p@ss:w+rd",
         "p%40ss%3Aw+rd", nullopt, "2001:db8::1", "[2001:db8::1]", true, 8443, "/", "/", "Ру",
         "%D0%A0%D1%83"},
        {"HTTPS://[::FFFF:192.0.2.1]", "HTTPS", nullopt, nullopt, nullopt, "::FFFF:192.0.2.1",
         "[::FFFF:192.0.2.1]", true, nullopt, "", "", nullopt, nullopt},
        // The password is everything after the first ":".
        {"trojan://secret:with:colons@host.example:0/", "trojan", "secret", "secret", "with:colons",
         "host.example", "host.example", false, 0, "/", "/", nullopt, nullopt},
        {"https://:pw@h", "https", "", "", "pw", "h", "h", false, nullopt, "", "", nullopt, nullopt},
        {"https://user:@h:65535", "https", "user", "user", "", "h", "h", false, 65535, "", "", nullopt, nullopt},
        {"https://@h/", "https", "", "", nullopt, "h", "h", false, nullopt, "/", "/", nullopt, nullopt},
        // Base64 user information keeps its "=" padding.
        {"ss://YWVzLTEyOC1nY206cGFzcw==@192.0.2.7:8388#ss", "ss", "YWVzLTEyOC1nY206cGFzcw==",
         "YWVzLTEyOC1nY206cGFzcw==", nullopt, "192.0.2.7", "192.0.2.7", false, 8388, "", "", "ss", "ss"},
        // Raw non-ASCII text is kept as written.
        {"vless://id@h:1#Румыния", "vless", "id", "id", nullopt, "h", "h", false, 1, "", "", "Румыния",
         "Румыния"},
        {"https://ex%41mple.com/a%2Fb/%7e", "https", nullopt, nullopt, nullopt, "exAmple.com", "ex%41mple.com",
         false, nullopt, "/a/b/~", "/a%2Fb/%7e", nullopt, nullopt},
        {"file:///etc/hosts", "file", nullopt, nullopt, nullopt, "", "", false, nullopt, "/etc/hosts",
         "/etc/hosts", nullopt, nullopt},
        {"https://", "https", nullopt, nullopt, nullopt, "", "", false, nullopt, "", "", nullopt, nullopt},
        {"mailto:support@example.com", "mailto", nullopt, nullopt, nullopt, nullopt, nullopt, false, nullopt,
         "support@example.com", "support@example.com", nullopt, nullopt},
        {"localhost:8080", "localhost", nullopt, nullopt, nullopt, nullopt, nullopt, false, nullopt, "8080",
         "8080", nullopt, nullopt},
        {"/sub/f/t.txt?x#", nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, false, nullopt,
         "/sub/f/t.txt", "/sub/f/t.txt", "", ""},
        {"a/b:c", nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, false, nullopt, "a/b:c", "a/b:c",
         nullopt, nullopt},
        {"", nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, false, nullopt, "", "", nullopt, nullopt},
    };
    for (const auto& c : cases) {
        const auto url = UrlComponents::parse(c.text);
        ASSERT_TRUE(url) << c.text;
        EXPECT_EQ(url->scheme(), c.scheme) << c.text;
        EXPECT_EQ(url->user(), c.user) << c.text;
        EXPECT_EQ(url->encodedUser(), c.encodedUser) << c.text;
        EXPECT_EQ(url->password(), c.password) << c.text;
        EXPECT_EQ(url->host(), c.host) << c.text;
        EXPECT_EQ(url->encodedHost(), c.encodedHost) << c.text;
        EXPECT_EQ(url->hostIsIPv6Literal(), c.ipv6) << c.text;
        EXPECT_EQ(url->port() ? std::optional<int>(*url->port()) : nullopt, c.port) << c.text;
        EXPECT_EQ(url->path(), c.path) << c.text;
        EXPECT_EQ(url->encodedPath(), c.encodedPath) << c.text;
        EXPECT_EQ(url->fragment(), c.fragment) << c.text << " " << show(url->fragment());
        EXPECT_EQ(url->encodedFragment(), c.encodedFragment) << c.text;
        // What was parsed is written back byte for byte.
        EXPECT_EQ(url->text(), c.text);
    }
}

TEST(UrlComponents, QueryItemsKeepPlusOrderDuplicatesAndTheDifferenceBetweenEmptyAndNoValue) {
    const auto url = UrlComponents::parse(
        "vless://id@h:443?security=reality&pbk=ab+c%2Fd%3D&fp=&flow&sid=%2B+%20&pbk=second&=v&&x=a=b#t");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->encodedQuery(), "security=reality&pbk=ab+c%2Fd%3D&fp=&flow&sid=%2B+%20&pbk=second&=v&&x=a=b");
    ASSERT_TRUE(url->queryItems());
    const std::vector<Pair> expected = {
        {"security", "reality"}, {"pbk", "ab+c/d="}, {"fp", ""},   {"flow", nullopt}, {"sid", "++ "},
        {"pbk", "second"},       {"", "v"},          {"", nullopt}, {"x", "a=b"},
    };
    EXPECT_EQ(pairsOf(*url->queryItems()), expected);
    EXPECT_EQ(url->queryItems()->at(1).encodedName, "pbk");
    EXPECT_EQ(url->queryItems()->at(1).encodedValue, "ab+c%2Fd%3D");

    // No "?" gives no items at all; a bare "?" gives an empty list.
    EXPECT_FALSE(UrlComponents::parse("https://h/")->queryItems());
    EXPECT_FALSE(UrlComponents::parse("https://h/")->encodedQuery());
    EXPECT_EQ(UrlComponents::parse("https://h/?")->encodedQuery(), "");
    EXPECT_EQ(UrlComponents::parse("https://h/?")->queryItems(), std::vector<Item>{});
    // "?" and "/" are query characters; "#" starts the fragment.
    EXPECT_EQ(pairsOf(*UrlComponents::parse("https://h?a=/b?c#d")->queryItems()),
              (std::vector<Pair>{{"a", "/b?c"}}));

    // A fragment read as a query: one item, or a second (empty) one after "&".
    EXPECT_EQ(pairsOf(*UrlComponents::parseQuery("token=abc")), (std::vector<Pair>{{"token", "abc"}}));
    EXPECT_EQ(pairsOf(*UrlComponents::parseQuery("token=abc&")),
              (std::vector<Pair>{{"token", "abc"}, {"", nullopt}}));
    EXPECT_EQ(UrlComponents::parseQuery(""), std::vector<Item>{});
    for (const char* bad : {"a=%zz", "a=%0A", "a=b c", "a=#", "a=%C3", "%FF=1", "a=\xC3\x28"}) {
        EXPECT_FALSE(UrlComponents::parseQuery(bad)) << bad;
    }
}

TEST(UrlComponents, RefusesMalformedPortsEscapesCharactersAndHosts) {
    for (const char* bad : {
             // ports
             "vless://id@h:443x", "vless://id@h:65536", "vless://id@h:-1", "vless://id@h:+443",
             "vless://id@h:0443", "vless://id@h:", "vless://id@h: 443", "vless://id@h:1:2",
             "vless://id@h:99999999999999999999999", "https://[::1]:", "https://[::1]:８０",
             // percent escapes, decoded controls and ill-formed UTF-8
             "https://h/%zz", "https://h/%2", "https://h/%", "https://h/a%g0", "https://h/#%C3%28",
             "https://h/?a=%FF", "https://%00@h/", "https://u:%0A@h/", "https://h/#x%0Ay", "https://h/%7F",
             "https://h/%C2%85", "https://%FF/",
             // white space and characters outside the sets, raw
             "https://h/a b", "https://h/a\tb", "https://h/\n", "https://h/\r", " https://h/", "https://h/\x7F",
             "https://h/\xC2\x85", "https://h/\xC3\x28", "https://h/\xFF", "https://h/[x]", "https://h/?a=|",
             "https://h/a\\b", "https://h/^", "https://h/`", "https://h/{}", "https://h/<>", "https://h/\"",
             "https://h/#a#b", "https://h/#a[b]", "vless://id@h:1#Румыния 1",
             // authority
             "https://a@b@c/", "https://u@[::1]@h/", "https://h%2Fx/", "https://h%3A1/", "https://h%40i/",
             "https://h%25/", "https://h%20/", "https://[2001:db8::1", "https://[2001:db8::g]/",
             "https://[fe80::1%25eth0]/", "https://[v1.abc]/", "https://[::1]x/", "https://[]/",
             "https://[192.0.2.1]/", "https://h]/", "https://u[1]@h/",
             // schemes
             "1http://x", "://x", "+a:b", "a b:c", "ht%74p://x", "é:x"}) {
        EXPECT_FALSE(UrlComponents::parse(bad)) << bad;
    }
    // A NUL byte is refused like every control character, not taken as the end,
    // also inside the brackets of an IPv6 literal, where the address reader
    // would stop at it and take "[::1\0x]" for "[::1]".
    for (const std::string& withNul : {std::string("https://h/\0x", 11), std::string("https://[::1\0]/", 15),
                                       std::string("https://[::1\0x]:443/", 20)}) {
        EXPECT_FALSE(UrlComponents::parse(withNul)) << withNul.size();
    }
}

TEST(UrlComponents, PercentDecodeKeepsPlusAndRefusesBrokenEscapesAndBytes) {
    const struct {
        const char* text;
        Text decoded;
    } cases[] = {
        {"a+b%20c", "a+b c"},     {"%41%62", "Ab"},        {"%e2%82%AC", "€"},      {"", ""},
        {"%2525", "%25"},         {"Ру%D1%81", "Рус"},     {"%", nullopt},          {"%4", nullopt},
        {"%4g", nullopt},         {"x%", nullopt},         {"%FF", nullopt},        {"%C3", nullopt},
        {"%ED%A0%80", nullopt},   {"\xC3\x28", nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(percentDecode(c.text), c.decoded) << c.text;
    }
    // Control characters are the caller's business here.
    EXPECT_EQ(percentDecode("%00%0A"), std::string("\0\n", 2));

    EXPECT_EQ(percentEncode("a b&c+d/é~%", "/"), "a%20b%26c%2Bd/%C3%A9~%25");
    EXPECT_EQ(percentEncode("\n"), "%0A");
}

TEST(UrlComponents, BuildsSignedListAndMirrorUrlsFromPathsAndOrigins) {
    auto primary = UrlComponents::parse("https://sub.example.com:8443/p/sub/f/tok%5Fen.txt?x=1#frag");
    ASSERT_TRUE(primary);
    EXPECT_EQ(primary->path(), "/p/sub/f/tok_en.txt");
    primary->setPath("/p/sub/m/tok_en.v2.json");
    EXPECT_EQ(primary->text(), "https://sub.example.com:8443/p/sub/m/tok_en.v2.json?x=1#frag");

    auto mirror = UrlComponents::parse("https://mirror.example.com");
    ASSERT_TRUE(mirror);
    mirror->setPath(primary->path());
    EXPECT_EQ(mirror->text(), "https://mirror.example.com/p/sub/m/tok_en.v2.json");

    // A decoded path is encoded again where it has to be.
    mirror->setPath("/a b/%/ü/x:y@z");
    EXPECT_EQ(mirror->encodedPath(), "/a%20b/%25/%C3%BC/x:y@z");
    EXPECT_EQ(mirror->path(), "/a b/%/ü/x:y@z");
    EXPECT_EQ(UrlComponents::parse(mirror->text()), mirror);
}

TEST(UrlComponents, RewritesQueryItemsKeepingTheOthersAsWritten) {
    // Drops "channel" and "lang" in any letter case, keeps the rest exactly as
    // written, appends the two, and is idempotent.
    const auto canonical = [](const UrlComponents& input) {
        UrlComponents url = input;
        std::vector<Item> items;
        for (const auto& item : url.queryItems().value_or(std::vector<Item>{})) {
            std::string lower = item.name;
            for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (lower != "channel" && lower != "lang") items.push_back(item);
        }
        items.push_back(Item::make("lang", "en"));
        items.push_back(Item::make("channel", "macos-direct"));
        url.setQueryItems(items);
        url.setPath("/account/");
        return url;
    };
    const auto portal = UrlComponents::parse("https://acct.example/account?channel=x&Lang=de&foo=a+b%20c#claim=t");
    ASSERT_TRUE(portal);
    const UrlComponents once = canonical(*portal);
    EXPECT_EQ(once.text(), "https://acct.example/account/?foo=a+b%20c&lang=en&channel=macos-direct#claim=t");
    EXPECT_EQ(canonical(once).text(), once.text());

    // Items made from plain text reach a reader unchanged, "+" included.
    UrlComponents built;
    built.setScheme("https");
    built.setHost("account.example");
    built.setPath("/account");
    built.setQueryItems(std::vector<Item>{Item::make("channel", "macos-direct"), Item::make("q", "a&b=c+d #é"),
                                          Item::make("k=&", nullopt)});
    EXPECT_EQ(built.text(),
              "https://account.example/account?channel=macos-direct&q=a%26b%3Dc%2Bd%20%23%C3%A9&k%3D%26");
    const auto reread = UrlComponents::parse(built.text());
    ASSERT_TRUE(reread);
    EXPECT_EQ(pairsOf(*reread->queryItems()),
              (std::vector<Pair>{{"channel", "macos-direct"}, {"q", "a&b=c+d #é"}, {"k=&", nullopt}}));

    built.setQueryItems(std::vector<Item>{});
    EXPECT_EQ(built.text(), "https://account.example/account?");
    built.setQueryItems(nullopt);
    EXPECT_EQ(built.text(), "https://account.example/account");
}

TEST(UrlComponents, SettersEncodeAndRefuseWhatWouldNotReadBack) {
    UrlComponents url;
    url.setScheme("hy2");
    url.setHost("2001:db8::1");
    url.setPort(443);
    url.setUser("p@ss:word");
    url.setPassword("a:b");
    url.setFragment("Route #1 / Рус");
    EXPECT_EQ(url.text(), "hy2://p%40ss%3Aword:a%3Ab@[2001:db8::1]:443#Route%20%231%20/%20%D0%A0%D1%83%D1%81");
    EXPECT_TRUE(url.hostIsIPv6Literal());
    EXPECT_EQ(url.host(), "2001:db8::1");
    EXPECT_EQ(UrlComponents::parse(url.text()), url);

    const UrlComponents before = url;
    EXPECT_THROW(url.setScheme("1x"), std::invalid_argument);
    EXPECT_THROW(url.setScheme(""), std::invalid_argument);
    EXPECT_THROW(url.setPath("relative"), std::invalid_argument);  // a host needs "/" or nothing
    EXPECT_THROW(url.setFragment("line\nbreak"), std::invalid_argument);
    EXPECT_THROW(url.setUser(std::string_view("\0", 1)), std::invalid_argument);
    EXPECT_THROW(url.setHost("not:an:address"), std::invalid_argument);
    EXPECT_THROW(url.setHost("[::1]"), std::invalid_argument);
    EXPECT_THROW(url.setHost(std::string_view("::1\0", 4)), std::invalid_argument);
    EXPECT_THROW(url.setHost(nullopt), std::invalid_argument);  // user and port need a host
    EXPECT_THROW(url.setQueryItems(std::vector<Item>{{"a", "1", "a&b", "1"}}), std::invalid_argument);
    EXPECT_THROW(url.setQueryItems(std::vector<Item>{{"x", nullopt, "y", nullopt}}), std::invalid_argument);
    EXPECT_THROW(url.setQueryItems(std::vector<Item>{{"", nullopt, "", nullopt}}), std::invalid_argument);
    EXPECT_EQ(url, before);

    UrlComponents bare;
    EXPECT_THROW(bare.setPort(443), std::invalid_argument);
    EXPECT_THROW(bare.setUser("u"), std::invalid_argument);
    EXPECT_THROW(bare.setPath("//twice"), std::invalid_argument);  // would read back as a host
    EXPECT_THROW(bare.setPath("a:b"), std::invalid_argument);      // would read back as a scheme
    bare.setHost("h");
    EXPECT_THROW(bare.setPassword("secret"), std::invalid_argument);  // needs a user first
    bare.setPath("/x");
    EXPECT_EQ(bare.text(), "//h/x");
}

}  // namespace
}  // namespace tarnel
