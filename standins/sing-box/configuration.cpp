#include "standins/sing-box/configuration.hpp"

#include <charconv>

#include "common/base/json.hpp"
#include "standins/sing-box/socket_address.hpp"

namespace tarnel::standin {

namespace {

std::vector<InterfacePrefix> prefixes(const std::vector<std::string>& texts, const std::string& path) {
    std::vector<InterfacePrefix> list;
    for (std::size_t index = 0; index < texts.size(); ++index) {
        auto prefix = InterfacePrefix::parse(texts[index]);
        if (!prefix) {
            throw ConfigurationError(path + "[" + std::to_string(index) + "] is not an address with a prefix length");
        }
        list.push_back(std::move(*prefix));
    }
    return list;
}

TunInbound tunInbound(const json::ObjectReader& inbound, std::string tag) {
    TunInbound tun{std::move(tag), {}, inbound.optionalInteger<int>("mtu"), false, {}};
    const std::string path = inbound.pathOf("address");
    const auto addresses = inbound.stringArray("address");
    if (addresses.empty()) throw ConfigurationError(path + " needs at least one address");
    tun.addresses = prefixes(addresses, path);
    tun.autoRoute = inbound.optionalBoolean("auto_route").value_or(false);
    if (inbound.optionalValue("route_exclude_address") != nullptr) {
        tun.routeExclusions =
            prefixes(inbound.stringArray("route_exclude_address"), inbound.pathOf("route_exclude_address"));
    }
    if (tun.mtu && (*tun.mtu < 576 || *tun.mtu > 65535)) {
        throw ConfigurationError(inbound.pathOf("mtu") + " must be from 576 to 65535");
    }
    return tun;
}

MixedInbound mixedInbound(const json::ObjectReader& inbound, std::string tag) {
    MixedInbound mixed;
    mixed.tag = std::move(tag);
    mixed.listenText = inbound.string("listen");
    const auto address = numericAddress(mixed.listenText);
    if (!address) throw ConfigurationError(inbound.pathOf("listen") + " is not a numeric IP address");
    mixed.listen = *address;
    mixed.port = inbound.integer<std::uint16_t>("listen_port");
    return mixed;
}

// The server of the outbound tagged `finalTag`, else of the first outbound
// with a numeric server and a port.
std::optional<sockaddr_storage> server(const json::ObjectReader& root) {
    const json::Value* outbounds = root.optionalValue("outbounds");
    if (outbounds == nullptr) return std::nullopt;
    std::optional<std::string> finalTag;
    if (const json::Value* route = root.optionalValue("route")) {
        finalTag = json::ObjectReader(*route, "route").optionalString("final");
    }
    const json::Value& list = json::asArray(*outbounds, "outbounds");
    std::optional<sockaddr_storage> first;
    for (std::size_t index = 0; index < list.size(); ++index) {
        const json::ObjectReader outbound(list[index], "outbounds[" + std::to_string(index) + "]");
        const auto host = outbound.optionalString("server");
        const auto port = outbound.optionalInteger<std::uint16_t>("server_port");
        const auto address = host && port ? numericAddress(*host, *port) : std::nullopt;
        if (!address) continue;
        if (finalTag && outbound.optionalString("tag") == finalTag) return address;
        if (!first) first = address;
    }
    return first;
}

}  // namespace

std::optional<InterfacePrefix> InterfacePrefix::parse(std::string_view text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view length = text.substr(slash + 1);
    const auto parsed = numericAddress(text.substr(0, slash));
    if (!parsed) return std::nullopt;
    InterfacePrefix prefix;
    prefix.family = parsed->ss_family;
    if (prefix.family == AF_INET) {
        prefix.ipv4 = reinterpret_cast<const sockaddr_in*>(&*parsed)->sin_addr;
    } else {
        prefix.ipv6 = reinterpret_cast<const sockaddr_in6*>(&*parsed)->sin6_addr;
    }
    const int maximum = prefix.family == AF_INET ? 32 : 128;
    const auto* end = length.data() + length.size();
    const auto [stop, error] = std::from_chars(length.data(), end, prefix.length);
    const bool digitsOnly = !length.empty() && length.front() >= '0' && length.front() <= '9';
    const bool leadingZero = length.size() > 1 && length.front() == '0';
    if (!digitsOnly || leadingZero || error != std::errc() || stop != end || prefix.length > maximum) {
        return std::nullopt;
    }
    prefix.text = std::string(text);
    return prefix;
}

Configuration parseConfiguration(std::string_view text) {
    const json::Value document = json::parse(text, json::TopLevel::object);
    const json::ObjectReader root(document);
    Configuration configuration;
    configuration.server = server(root);
    const json::Value* inbounds = root.optionalValue("inbounds");
    if (inbounds == nullptr) return configuration;
    const json::Value& list = json::asArray(*inbounds, "inbounds");
    for (std::size_t index = 0; index < list.size(); ++index) {
        const json::ObjectReader inbound(list[index], "inbounds[" + std::to_string(index) + "]");
        const std::string type = inbound.string("type");
        std::string tag = inbound.optionalString("tag").value_or("");
        if (type == "tun") {
            configuration.tunInbounds.push_back(tunInbound(inbound, std::move(tag)));
        } else if (type == "mixed") {
            configuration.mixedInbounds.push_back(mixedInbound(inbound, std::move(tag)));
        } else {
            throw ConfigurationError(inbound.pathOf("type") + " \"" + type + "\" is not run by the stand-in");
        }
    }
    return configuration;
}

}  // namespace tarnel::standin
