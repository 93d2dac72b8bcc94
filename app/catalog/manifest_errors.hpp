#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/base/error.hpp"

namespace tarnel {

// Failures of turning a decoded transport manifest into routes and of
// checking its subscription origins.
class TransportManifestError final : public Error {
public:
    enum class Case {
        invalidEndpoint,             // a transport lacks a value its kind needs
        unsupportedTransport,        // a transport kind this build cannot run
        invalidOrExpired,            // wrong schema, or expired
        invalidSubscriptionOrigins,  // a subscription origin is not a bare https origin
        noRoutes,                    // nothing to route through
    };

    // `transportID` is the transport's "id".
    [[nodiscard]] static TransportManifestError invalidEndpoint(std::string transportID);
    // `kind` is the transport's "kind".
    [[nodiscard]] static TransportManifestError unsupportedTransport(std::string kind);
    [[nodiscard]] static TransportManifestError invalidOrExpired();
    [[nodiscard]] static TransportManifestError invalidSubscriptionOrigins();
    [[nodiscard]] static TransportManifestError noRoutes();

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    // The transport id of `invalidEndpoint` or the kind of
    // `unsupportedTransport`; empty for the other cases.
    [[nodiscard]] const std::string& subject() const noexcept { return subject_; }

    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "TransportManifestError"; }

private:
    TransportManifestError(Case errorCase, std::string subject)
        : case_(errorCase), subject_(std::move(subject)) {}

    Case case_;
    std::string subject_;
};

// The failure of every step that reads a signed or compact manifest: the
// envelope, its delegation, the payload, the content floor and the expansion.
class SignedTransportManifestError final : public Error {
public:
    enum class Case {
        invalidEnvelope,
        trustRootUnavailable,
        invalidRootSignature,
        invalidPayloadSignature,
        expiredDelegation,
        invalidManifest,
        manifestPairMismatch,
    };

    explicit SignedTransportManifestError(Case errorCase) : case_(errorCase) {}

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override {
        return "SignedTransportManifestError";
    }

private:
    Case case_;
};

// The two forms a transport manifest is published in.
enum class TransportManifestFormat {
    v1,
    v2,
};

[[nodiscard]] std::string_view rawValue(TransportManifestFormat format) noexcept;
// Exactly "v1" or "v2"; nothing for any other text.
[[nodiscard]] std::optional<TransportManifestFormat> transportManifestFormatFromRawValue(std::string_view raw) noexcept;

}  // namespace tarnel
