#pragma once

#include <array>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <vector>

#include "app/catalog/transport_manifest.hpp"
#include "common/base/json.hpp"

namespace tarnel {

// The transport kinds ("kind" of a manifest transport) this build can turn
// into routes, compared exactly.
inline constexpr std::array<std::string_view, 11> kSupportedTransportKinds = {
    "vless-reality",         "hysteria2",        "anytls",       "naive",          "tuic",        "trojan-tls",
    "shadowsocks-shadowtls", "shadowsocks-2022", "vmess-ws-tls", "vless-grpc-tls", "hysteria-v1",
};

[[nodiscard]] bool isSupportedTransportKind(std::string_view kind) noexcept;

// One slot of a node's catalog: a route that the route list names whether or
// not the subscription may use it. Its catalog id is the node code, ":" and
// the slot name.
struct ManifestCatalogSlot {
    std::string_view name;
    std::string_view transportID;
    std::string_view label;
    std::string_view kind;
};

// Listed for every listed country, present or not.
inline constexpr std::array<ManifestCatalogSlot, 5> kBaseCatalogSlots = {{
    {"reality", "reality", "VLESS Reality", "vless-reality"},
    {"hysteria2", "hysteria2", "Hysteria2", "hysteria2"},
    {"anytls", "anytls", "AnyTLS", "anytls"},
    {"naive-h2", "naive", "Naive H2", "naive"},
    {"naive-h3", "naive", "Naive H3", "naive"},
}};

// Listed only where the manifest carries them.
inline constexpr std::array<ManifestCatalogSlot, 7> kExtraCatalogSlots = {{
    {"tuic", "tuic", "TUIC", "tuic"},
    {"shadowtls", "shadowtls", "ShadowTLS + Shadowsocks 2022", "shadowsocks-shadowtls"},
    {"trojan", "trojan", "Trojan TLS", "trojan-tls"},
    {"shadowsocks", "shadowsocks", "Shadowsocks 2022", "shadowsocks-2022"},
    {"vmess-ws", "vmess-ws", "VMess WebSocket TLS", "vmess-ws-tls"},
    {"vless-grpc", "vless-grpc", "VLESS gRPC TLS", "vless-grpc-tls"},
    {"hysteria", "hysteria", "Hysteria v1", "hysteria-v1"},
}};

// The countries every catalog lists first, in this order, with their labels.
struct ManifestCatalogCountry {
    std::string_view code;
    std::string_view label;
};

inline constexpr std::array<ManifestCatalogCountry, 4> kListedCatalogCountries = {{
    {"EE", "Estonia"},
    {"IN", "India"},
    {"RO", "Romania"},
    {"RU", "Russia"},
}};

// The countries on which a "free" subscription is told to pay.
inline constexpr std::array<std::string_view, 2> kPaidOnlyCatalogCodes = {"EE", "RU"};

// The catalog the application publishes to the route list, rebuilt from the
// catalog ids that a manifest's transports carry rather than taken from the
// manifest.
class TransportManifestCatalog {
public:
    // The list of catalog node objects ({"id", "label", "transports": [{"id",
    // "transport_id", "label", "kind", "status"}]}): "EE", "IN", "RO" and "RU"
    // with their five base slots and the extra slots present in
    // `catalogIDs`, then every other node code of `catalogIDs` (ascending)
    // with only its present slots. A present slot is "available"; an absent
    // one is "paid_required" on "EE" and "RU" when `serviceClass` is exactly
    // "free", else "temporarily_unavailable".
    [[nodiscard]] static json::Value build(std::string_view serviceClass, const std::set<std::string>& catalogIDs);

    // The same catalog as the records that decoding `build`'s objects gives.
    [[nodiscard]] static std::vector<ManifestCatalogNode> nodes(std::string_view serviceClass,
                                                                const std::set<std::string>& catalogIDs);

    // Writes catalog records as `build` gives them, canonically: the bytes of
    // writing the objects of `build`.
    static void write(json::CanonicalWriter& writer, const std::vector<ManifestCatalogNode>& nodes);

    // The node code of a catalog id: its first non-empty ":"-separated piece.
    [[nodiscard]] static std::optional<std::string> nodeCode(std::string_view catalogID);

    // The label of a node code: the country's name for a listed country, the
    // code itself otherwise.
    [[nodiscard]] static std::string nodeLabel(std::string_view code);
};

}  // namespace tarnel
