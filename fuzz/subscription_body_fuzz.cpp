// A subscription body as the user pastes it or a server returns it, parsed
// without a root key: never crashes, fails only with "no supported routes" or
// with the two manifest errors a body without a root key can meet; the list of
// access links gives exactly the routes of its lines' own parsers, each route
// named by its kind, title, server and port, and each route reads back from
// its stored form.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/route_model.hpp"
#include "app/catalog/subscription_import_parser.hpp"
#include "app/catalog/unicode_text.hpp"
#include "common/base/clock.hpp"
#include "common/base/json.hpp"
#include "common/base/utf8.hpp"
#include "fuzz/fuzz_support.hpp"

using namespace tarnel;
using tarnel::fuzz::require;
using Parser = SubscriptionImportParser;

namespace {

// The routes the line parsers give for the lines of a normalised body: lines
// end at LF, VT, FF, CR, NEL, LS and PS.
std::vector<RouteNode> routesOfEachLine(std::string_view normalized) {
    std::vector<RouteNode> routes;
    std::string line;
    const auto flush = [&] {
        const std::string trimmed = unicode::trimmingWhitespaceAndNewlines(line);
        auto vless = Parser::parseVLESSLink(trimmed);
        auto hysteria2 = Parser::parseHysteria2Link(trimmed);
        require(!(vless && hysteria2), "a line is a link of one kind at most", trimmed);
        if (vless) routes.push_back(std::move(*vless));
        if (hysteria2) routes.push_back(std::move(*hysteria2));
        line.clear();
    };
    std::size_t offset = 0;
    while (offset < normalized.size()) {
        const std::size_t start = offset;
        const char32_t scalar = *utf8::decodeNext(normalized, offset);
        if (scalar == U'\n' || scalar == U'\v' || scalar == U'\f' || scalar == U'\r' || scalar == 0x85 ||
            scalar == 0x2028 || scalar == 0x2029) {
            flush();
        } else {
            line.append(normalized.substr(start, offset - start));
        }
    }
    flush();
    return routes;
}

void checkRoute(const RouteNode& route) {
    const std::string prefix = route.transport == RouteTransport::vless ? "vless-" : "hysteria2-";
    require(route.transport == RouteTransport::vless || route.transport == RouteTransport::hysteria2,
            "a link gives a VLESS or Hysteria2 route", route.id);
    require(route.id == prefix + route.title + "-" + route.server + "-" + std::to_string(route.port),
            "a route's id is its kind, title, server and port", route.id);
    require(!route.server.empty() && route.port >= 1 && route.port <= 65'535, "a route has a server and a port",
            route.id);
    require(RouteNode::fromJson(json::parse(json::writeCanonical(route.toJson()))) == route,
            "a route reads back from its stored form", route.id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body = fuzz::bytesOf(data, size);
    // A body reaches the parser as text.
    if (!utf8::isValid(body)) return 0;
    static const FakeClock clock;

    std::optional<Parser::ParsedRoutes> parsed;
    try {
        parsed = Parser::parse(body, std::nullopt, std::nullopt, std::nullopt, clock);
    } catch (const SubscriptionImportError&) {
    } catch (const SignedTransportManifestError& error) {
        require(error.errorCase() == SignedTransportManifestError::Case::trustRootUnavailable ||
                    error.errorCase() == SignedTransportManifestError::Case::invalidEnvelope,
                "without a root key a body fails only for the root key or as an unsigned manifest");
        return 0;
    }

    const std::vector<RouteNode> expected = routesOfEachLine(Parser::normalizedBody(body));
    std::optional<std::vector<RouteNode>> links;
    try {
        links = Parser::parseAccessLinks(body);
    } catch (const SubscriptionImportError&) {
    }
    require(links.has_value() == !expected.empty(), "a list fails exactly when no line is a usable link");
    require(!links || *links == expected, "a list gives exactly its lines' routes, in order");
    require(parsed.has_value() == links.has_value(), "a body that is no manifest is a list of links");
    if (!parsed) return 0;

    require(parsed->routes == *links, "a body's routes are those of its links");
    require(parsed->catalog.empty() && !parsed->manifestRevision && !parsed->serviceClass &&
                !parsed->subscriptionOrigins && !parsed->manifestFormat && !parsed->manifestContentFloor &&
                !parsed->skippedOptional,
            "a list of links fills only the routes");
    for (const RouteNode& route : parsed->routes) checkRoute(route);
    return 0;
}
