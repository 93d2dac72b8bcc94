// The TUN and proxy documents around a route's outbounds.

#include "app/tunnel/sing_box_config.hpp"

#include "common/contract/tunnel_configuration_validator.hpp"

namespace tarnel::SingBoxConfig {
namespace {

using json::Value;

bool isASCIIDigit(char c) noexcept { return c >= '0' && c <= '9'; }

bool isASCIIHexDigit(char c) noexcept {
    return isASCIIDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}


// The ranges kept out of the tunnel: the same list the validator holds.
Value privateRangeList() {
    Value list = Value::array();
    for (const std::string_view range : PrivilegedTunnelConfigurationValidator::privateRanges) {
        list.push_back(range);
    }
    return list;
}

Value logObject(std::string_view level) { return Value{{"level", level}, {"timestamp", true}}; }

Value dnsObject(std::string_view proxyTag) {
    Value server{{"type", "tcp"}, {"tag", "cloudflare"}, {"server", "1.1.1.1"}, {"detour", proxyTag}};
    return Value{{"strategy", "ipv4_only"}, {"servers", Value::array({server})}, {"final", "cloudflare"}};
}

Value tunInbound(const RouteNode& route) {
    Value excluded = privateRangeList();
    if (isIPLiteral(route.server)) excluded.insert(excluded.begin(), hostPrefix(route.server));
    Value inbound = Value::object();
    inbound["type"] = "tun";
    inbound["tag"] = kTunInboundTag;
    inbound["address"] = Value::array({"172.19.0.1/30"});
    inbound["mtu"] = 1400;
    inbound["auto_route"] = true;
    inbound["strict_route"] = true;
    inbound["route_exclude_address"] = std::move(excluded);
    inbound["stack"] = "gvisor";
    inbound["dns_mode"] = "hijack";
    return inbound;
}

Value mixedInbound() {
    Value inbound = Value::object();
    inbound["type"] = "mixed";
    inbound["tag"] = kMixedInboundTag;
    inbound["listen"] = kMixedListenAddress;
    inbound["listen_port"] = kMixedListenPort;
    return inbound;
}

enum class Mode { tunnel, proxy };

std::string document(const RouteNode& route, const std::optional<std::string>& defaultInterface, Mode mode) {
    // The outbounds first: a missing route field fails before anything else.
    Value outboundList = outbounds(route);
    Value routeValue = routeObject(route, defaultInterface);
    const std::string_view tag = outboundTag(route);

    outboundList.push_back(Value{{"type", "direct"}, {"tag", "direct"}});
    if (mode == Mode::proxy) outboundList.push_back(Value{{"type", "block"}, {"tag", "block"}});

    Value root = Value::object();
    root["log"] = logObject(mode == Mode::tunnel ? "info" : "warn");
    root["dns"] = dnsObject(tag);
    root["inbounds"] = Value::array({mode == Mode::tunnel ? tunInbound(route) : mixedInbound()});
    root["outbounds"] = std::move(outboundList);
    root["route"] = std::move(routeValue);
    return json::writePretty(root);
}

}  // namespace

bool isDottedQuad(std::string_view text) noexcept {
    std::size_t position = 0;
    for (int group = 0; group < 4; ++group) {
        if (group > 0) {
            if (position >= text.size() || text[position] != '.') return false;
            ++position;
        }
        std::size_t digits = 0;
        while (position < text.size() && isASCIIDigit(text[position]) && digits < 4) {
            ++position;
            ++digits;
        }
        if (digits < 1 || digits > 3) return false;
    }
    return position == text.size();
}

bool isIPLiteral(std::string_view server) {
    if (isDottedQuad(server)) return true;
    if (server.find(':') == std::string_view::npos) return false;
    for (const char c : server) {
        if (c != ':' && !isASCIIHexDigit(c)) return false;
    }
    return true;
}

std::string hostPrefix(std::string_view server) {
    std::string prefix(server);
    prefix += isDottedQuad(server) ? "/32" : "/128";
    return prefix;
}

Value routeRules(const RouteNode& route) {
    Value serverRule = isIPLiteral(route.server)
                           ? Value{{"ip_cidr", Value::array({hostPrefix(route.server)})}, {"outbound", "direct"}}
                           : Value{{"domain", Value::array({route.server})}, {"outbound", "direct"}};
    Value rules = Value::array();
    rules.push_back(std::move(serverRule));
    rules.push_back(Value{{"ip_cidr", privateRangeList()}, {"outbound", "direct"}});
    return rules;
}

Value routeObject(const RouteNode& route, const std::optional<std::string>& defaultInterface) {
    Value object = Value::object();
    object["rules"] = routeRules(route);
    object["final"] = outboundTag(route);
    if (defaultInterface) {
        object["default_interface"] = *defaultInterface;
    } else {
        object["auto_detect_interface"] = true;
    }
    return object;
}

std::string tunnelConfiguration(const RouteNode& route, const std::optional<std::string>& defaultInterface) {
    return document(route, defaultInterface, Mode::tunnel);
}

std::string proxyConfiguration(const RouteNode& route, const std::optional<std::string>& defaultInterface) {
    return document(route, defaultInterface, Mode::proxy);
}

}  // namespace tarnel::SingBoxConfig
