#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/ecdsa.hpp"
#include "common/base/error.hpp"

// Making signatures: anchors, team credentials, signed executables and signed
// bundles. Used by tarnel-codesign, the build and the tests; never by the
// programs that check signatures.
namespace tarnel::codesign {

// A signing step that cannot be done, with a sentence saying why.
class CodeSigningError final : public Error {
public:
    explicit CodeSigningError(std::string message) : message_(std::move(message)) {}
    [[nodiscard]] std::string message() const override { return message_; }
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "CodeSigningError"; }

private:
    std::string message_;
};

// Files of an anchor directory and of a team directory.
inline constexpr std::string_view anchorKeyFile = "anchor.key.pem";    // private, 0600
inline constexpr std::string_view anchorSPKIFile = "anchor.spki.der";  // the value a checker pins
inline constexpr std::string_view teamKeyFile = "team.key.pem";        // private, 0600
inline constexpr std::string_view teamCertificateFile = "team.certificate";

// A team's signing key with its certificate from an anchor.
struct TeamCredentials {
    std::string teamIdentifier;
    ecdsa::P256PrivateKey key;
    std::string certificate;  // the certificate bytes the anchor signed
    ecdsa::P256Signature certificateSignature;
};

// Certifies `teamKey` for `teamIdentifier` (a text `isRequirementString`
// accepts) with the anchor's key.
[[nodiscard]] TeamCredentials issueTeamCredentials(const ecdsa::P256PrivateKey& anchor,
                                                   std::string_view teamIdentifier,
                                                   const ecdsa::P256PrivateKey& teamKey);

// Writes a new anchor's two files into `directory` (made 0700 when missing);
// refuses to replace an existing anchor key.
void saveAnchor(const std::filesystem::path& directory, const ecdsa::P256PrivateKey& anchor);
[[nodiscard]] ecdsa::P256PrivateKey loadAnchor(const std::filesystem::path& directory);

// Writes team credentials into `directory` (made 0700 when missing); refuses
// to replace an existing team key.
void saveTeamCredentials(const std::filesystem::path& directory, const TeamCredentials& credentials);
// Reads them back; refuses a certificate that does not certify the key.
[[nodiscard]] TeamCredentials loadTeamCredentials(const std::filesystem::path& directory);

// Signs a single executable: the output holds the program bytes of `input`
// (without the signature it may already carry) followed by a new signature
// trailer. `output` may be `input`; it is replaced atomically and gets the
// input's permission bits.
void signExecutable(const std::filesystem::path& input, const std::filesystem::path& output,
                    std::string_view identifier, const TeamCredentials& credentials);

// Signs an application bundle: "Contents/CodeSignature" seals the main
// executable named by the Info.plist's CFBundleExecutable, the Info.plist and
// every other file under Contents by its path relative to Contents. The
// identifier defaults to the Info.plist's CFBundleIdentifier. Refuses links
// and special files in the bundle, and a main executable that carries a
// signature of its own.
void signBundle(const std::filesystem::path& bundle, std::optional<std::string_view> identifier,
                const TeamCredentials& credentials);

}  // namespace tarnel::codesign
