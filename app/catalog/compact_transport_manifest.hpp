#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/catalog/transport_manifest.hpp"
#include "common/base/json.hpp"
#include "common/base/json_document.hpp"

namespace tarnel {

// A compact manifest turned back into the v1 document it encodes.
struct ExpandedCompactTransportManifest {
    // The expanded v1 document, written canonically (sorted keys, no white
    // space, "/" unescaped).
    std::string payload;
    // The document's own "legacy_sha256", checked against the expansion.
    std::string legacySHA256;
    // True when a transport of a kind listed as optional was left out.
    bool skippedOptional = false;

    bool operator==(const ExpandedCompactTransportManifest&) const = default;
};

// The compact v2 form of the transport manifest ("tarnel.transport-manifest.v2",
// codec "tarnel.transport-node-delta.v1"): each node lists entries that name a
// slot of a fixed table and carry only the endpoint values that differ from
// the node's defaults. The document signs the SHA-256 of its own legacy
// projection (the v1 document restricted to the core kinds), which ties the
// compact form to the v1 form of the same revision.
class CompactTransportManifest {
public:
    inline static constexpr std::string_view kSchemaV2 = "tarnel.transport-manifest.v2";
    inline static constexpr std::string_view kCodec = "tarnel.transport-node-delta.v1";

    // One slot of the compact table: what an entry expands to.
    struct Slot {
        std::string_view name;
        std::string_view transportID;
        std::string_view label;
        std::string_view kind;
        std::int64_t priority;
    };

    // Keyed by slot name. The labels are the transports' own; the catalog
    // keeps its own labels ("VLESS Reality" where a transport says "Reality").
    inline static constexpr std::array<Slot, 12> kSlots = {{
        {"reality", "reality", "Reality", "vless-reality", 100},
        {"hysteria2", "hysteria2", "Hysteria2", "hysteria2", 140},
        {"anytls", "anytls", "AnyTLS", "anytls", 120},
        {"naive-h2", "naive", "Naive H2", "naive", 130},
        {"naive-h3", "naive", "Naive H3", "naive", 131},
        {"tuic", "tuic", "TUIC", "tuic", 150},
        {"trojan", "trojan", "Trojan TLS", "trojan-tls", 160},
        {"shadowtls", "shadowtls", "ShadowTLS + Shadowsocks 2022", "shadowsocks-shadowtls", 170},
        {"shadowsocks", "shadowsocks", "Shadowsocks 2022", "shadowsocks-2022", 180},
        {"vmess-ws", "vmess-ws", "VMess WebSocket TLS", "vmess-ws-tls", 190},
        {"vless-grpc", "vless-grpc", "VLESS gRPC TLS", "vless-grpc-tls", 200},
        {"hysteria", "hysteria", "Hysteria v1", "hysteria-v1", 210},
    }};

    // The kinds the legacy projection keeps, ascending.
    inline static constexpr std::array<std::string_view, 4> kCoreKinds = {
        "anytls", "hysteria2", "naive", "vless-reality"};

    // The slot of that exact name, or null.
    [[nodiscard]] static const Slot* slot(std::string_view name) noexcept;
    [[nodiscard]] static bool isCoreKind(std::string_view kind) noexcept;

    // Expands the signed compact document into the v1 document it encodes,
    // byte for byte the v1 document a v1 signer writes for the same content,
    // and checks the SHA-256 of its legacy projection against the document's
    // "legacy_sha256". Throws json::JsonError when the bytes are not JSON or
    // the expansion would nest deeper than the JSON reader accepts (a node's
    // defaults sit two levels deeper in the v1 document), and
    // SignedTransportManifestError(invalidManifest) when any rule of the
    // compact form is broken; nothing is returned in part.
    [[nodiscard]] static ExpandedCompactTransportManifest expand(std::string_view payload);

    // The legacy projection of an expanded (v1) document, written canonically:
    // only transports whose trimmed "kind" is a core kind, no node left
    // without transports, and the catalog rebuilt from what is kept. Throws
    // json::JsonError when the bytes are not JSON and
    // SignedTransportManifestError(invalidManifest) when the document is not
    // shaped like an expansion.
    [[nodiscard]] static std::string legacyProjection(std::string_view expandedPayload);
};

// The expansion of one compact document, held as the parts the v1 document is
// made of: values of the compact document itself, which are never copied, and
// what the expansion adds to them. From these parts the v1 document is written
// once and decoded directly, without building it as a JSON value or reading
// its bytes back. Not copyable: the parts point into the document it owns,
// which in turn refers to the text it was read from.
class CompactManifestExpansion {
public:
    // Expands a compact document read from its signed text (which must
    // outlive the expansion), with every check and failure of
    // CompactTransportManifest::expand after the JSON reader's.
    explicit CompactManifestExpansion(json::Document document);
    CompactManifestExpansion(const CompactManifestExpansion&) = delete;
    CompactManifestExpansion& operator=(const CompactManifestExpansion&) = delete;

    // The expanded v1 document, canonical bytes.
    [[nodiscard]] const std::string& payload() const noexcept { return payload_; }
    // The same bytes handed over; payload() is empty afterwards.
    [[nodiscard]] std::string takePayload() noexcept { return std::move(payload_); }
    [[nodiscard]] const std::string& legacySHA256() const noexcept { return legacySHA256_; }
    [[nodiscard]] bool skippedOptional() const noexcept { return skippedOptional_; }

    // The v1 document decoded: the records, or the first json::JsonError,
    // that TarnelTransportManifest::decode(payload()) gives.
    [[nodiscard]] TarnelTransportManifest decode() const;

private:
    using Node = json::Document::Node;

    // A transport of the v1 document: what the expansion built, and the
    // compact values it takes the rest from.
    struct Transport {
        const CompactTransportManifest::Slot* slot = nullptr;
        std::string id;         // code, slot name, trimmed server and port, joined by ":"
        std::string catalogID;  // code ":" slot name
        Node values;                    // the entry's "e"
        std::optional<Node> defaults;   // the node's "d": endpoint values under the entry's
        std::optional<Node> overrides;  // the entry's "o"
    };
    // A node of the v1 document, with the transports it keeps.
    struct ExpandedNode {
        std::string code;
        std::optional<Node> overrides;  // the node's "o"
        std::vector<Transport> transports;
    };
    struct Tally;

    void expandNode(const Node& node, Tally& tally);
    Transport expandEntry(const Node& entry, const std::string& code, const std::optional<Node>& defaults,
                          Tally& tally) const;
    // The v1 document, or with `coreKindsOnly` its legacy projection, whose
    // catalog is then `catalog`.
    [[nodiscard]] std::string write(bool coreKindsOnly, const std::vector<ManifestCatalogNode>& catalog) const;
    void writeNode(json::CanonicalWriter& out, const ExpandedNode& node, bool coreKindsOnly) const;
    static void writeTransport(json::CanonicalWriter& out, const Transport& transport);

    json::Document document_;
    std::vector<ExpandedNode> nodes_;
    std::vector<ManifestCatalogNode> catalog_;
    std::string payload_;
    std::string legacySHA256_;
    bool skippedOptional_ = false;
};

}  // namespace tarnel
