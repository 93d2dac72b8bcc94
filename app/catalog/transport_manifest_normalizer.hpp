#pragma once

#include <string>
#include <string_view>

#include "common/base/json.hpp"

namespace tarnel {

// A v1 manifest payload reduced to what this build can use, in the canonical
// bytes that are hashed and compared.
struct NormalizedTransportManifest {
    std::string document;
    // True when a transport of an unsupported kind was left out.
    bool skippedOptional = false;

    bool operator==(const NormalizedTransportManifest&) const = default;
};

class TransportManifestNormalizer {
public:
    // Reads a signed v1 payload: drops transports of unsupported kinds (and
    // nodes left without any), rebuilds the "catalog" when the document has
    // one, and writes the whole document canonically (sorted keys, no white
    // space, "/" unescaped). Every other member is kept as it is.
    // Throws json::JsonError when the bytes are not JSON, and
    // SignedTransportManifestError(invalidManifest) when the document is not
    // a v1 manifest, a transport has no kind, no node is left, or a document
    // with a catalog has no service class.
    [[nodiscard]] static NormalizedTransportManifest normalizeV1(std::string_view payload);
    // The same on a payload already parsed, which is normalised in place: on
    // success `document` is the normalised document that the bytes hold.
    [[nodiscard]] static NormalizedTransportManifest normalizeV1(json::Value& document);
};

}  // namespace tarnel
