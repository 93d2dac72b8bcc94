#include "standins/sing-box/configuration.hpp"

#include <charconv>

#include "common/json.hpp"
#include "standins/sing-box/socket_address.hpp"

namespace tarnel::standin {

namespace {

TunInbound tunInbound(const json::ObjectReader& inbound, std::string tag) {
    TunInbound tun{std::move(tag), {}, inbound.optionalInteger<int>("mtu")};
    const std::string path = inbound.pathOf("address");
    const auto addresses = inbound.stringArray("address");
    if (addresses.empty()) throw ConfigurationError(path + " needs at least one address");
    for (std::size_t index = 0; index < addresses.size(); ++index) {
        auto prefix = InterfacePrefix::parse(addresses[index]);
        if (!prefix) {
            throw ConfigurationError(path + "[" + std::to_string(index) + "] is not an address with a prefix length");
        }
        tun.addresses.push_back(std::move(*prefix));
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
