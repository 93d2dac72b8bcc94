// UrlComponents::parse: never crashes, and an accepted reference is kept
// byte for byte: text() gives back the input, and the decoded parts agree
// with the encoded ones. The setters, given the decoded parts back, either
// refuse with std::invalid_argument and change nothing, or keep the value.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>

#include "common/base/url.hpp"
#include "fuzz/fuzz_support.hpp"

using namespace tarnel;
using tarnel::fuzz::require;

namespace {

// Applies a setter to a copy: a refusal leaves the copy as it was; an
// accepted value leaves a reference whose text reads back as itself.
void checkSetter(const UrlComponents& url, const std::function<void(UrlComponents&)>& set,
                 const std::function<bool(const UrlComponents&)>& holdsValue, const char* name) {
    UrlComponents changed = url;
    try {
        set(changed);
    } catch (const std::invalid_argument&) {
        require(changed == url, "a refused setter changes nothing", name);
        return;
    }
    require(holdsValue(changed), "an accepted setter keeps its value", name);
    const auto reread = UrlComponents::parse(changed.text());
    require(reread.has_value() && *reread == changed, "a set reference reads back as itself", changed.text());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::bytesOf(data, size);
    const auto url = UrlComponents::parse(text);

    // The decoding helper never crashes, and an accepted text is UTF-8.
    static_cast<void>(percentDecode(text));
    static_cast<void>(UrlComponents::parseQuery(text));

    if (!url) return 0;
    require(url->text() == text, "UrlComponents::parse(x)->text() == x", text);
    // Control characters and spaces are refused anywhere, raw or encoded.
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        require(byte > 0x20 && byte != 0x7F, "an accepted reference has no raw control character or space", text);
    }
    for (const auto& part : {url->user(), url->password(), url->host(), url->fragment(),
                             std::optional<std::string>(url->path())}) {
        if (!part) continue;
        for (const char c : *part) {
            const auto byte = static_cast<unsigned char>(c);
            require(byte >= 0x20 && byte != 0x7F, "no decoded part holds a control character", *part);
        }
    }

    // Every decoded part is the decoding of its encoded form.
    const auto decodes = [](const std::optional<std::string>& encoded, const std::optional<std::string>& decoded) {
        if (encoded.has_value() != decoded.has_value()) return false;
        return !encoded || percentDecode(*encoded) == decoded;
    };
    require(decodes(url->encodedUser(), url->user()), "user decodes from its encoded form");
    require(decodes(url->encodedPassword(), url->password()), "password decodes from its encoded form");
    require(decodes(url->encodedFragment(), url->fragment()), "fragment decodes from its encoded form");
    require(percentDecode(url->encodedPath()) == url->path(), "path decodes from its encoded form");
    require(url->encodedHost().has_value() == url->host().has_value(), "host and encoded host go together");
    if (url->encodedQuery()) {
        require(UrlComponents::parseQuery(*url->encodedQuery()) == url->queryItems(),
                "the query items are those of the encoded query");
    } else {
        require(!url->queryItems().has_value(), "no query, no query items");
    }

    checkSetter(
        *url, [&](UrlComponents& changed) { changed.setScheme(url->scheme()); },
        [&](const UrlComponents& changed) { return changed.scheme() == url->scheme(); }, "setScheme");
    checkSetter(
        *url, [&](UrlComponents& changed) { changed.setUser(url->user()); },
        [&](const UrlComponents& changed) { return changed.user() == url->user(); }, "setUser");
    checkSetter(
        *url, [&](UrlComponents& changed) { changed.setPassword(url->password()); },
        [&](const UrlComponents& changed) { return changed.password() == url->password(); }, "setPassword");
    checkSetter(
        *url, [&](UrlComponents& changed) { changed.setHost(url->host()); },
        [&](const UrlComponents& changed) { return changed.host() == url->host(); }, "setHost");
    checkSetter(
        *url, [&](UrlComponents& changed) { changed.setPort(url->port()); },
        [&](const UrlComponents& changed) { return changed.port() == url->port(); }, "setPort");
    checkSetter(
        *url, [&](UrlComponents& changed) { changed.setPath(url->path()); },
        [&](const UrlComponents& changed) { return changed.path() == url->path(); }, "setPath");
    checkSetter(
        *url, [&](UrlComponents& changed) { changed.setQueryItems(url->queryItems()); },
        [&](const UrlComponents& changed) { return changed.queryItems() == url->queryItems(); }, "setQueryItems");
    checkSetter(
        *url, [&](UrlComponents& changed) { changed.setFragment(url->fragment()); },
        [&](const UrlComponents& changed) { return changed.fragment() == url->fragment(); }, "setFragment");
    return 0;
}
