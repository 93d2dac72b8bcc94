#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/ecdsa.hpp"
#include "platform/codesign/code_signing.hpp"

// The bytes of a code signature, shared by the signer and the validator.
//
// A signature is the canonical JSON object
//   {"certificate": B64, "certificate_signature": B64, "format": "tarnel-code-signature-1",
//    "record": B64, "record_signature": B64}
// (B64: standard Base64). "record" holds the signed record's bytes, signed by
// the team key; "certificate" holds the team certificate's bytes, signed by the
// anchor key it names. Both are canonical JSON themselves; the code identity
// is the SHA-256 of the record bytes.
//
// A single executable carries its signature as a trailer: the program bytes,
// the signature, its length as 8 bytes big-endian and the 8 bytes "TARNSIG1".
// An application bundle keeps it in "Contents/CodeSignature", and its main
// executable carries none.
namespace tarnel::codesign {

namespace layout {
inline constexpr std::string_view trailerMagic = "TARNSIG1";
inline constexpr std::size_t trailerFooterSize = 16;
inline constexpr std::size_t maximumSignatureSize = 16 * 1024 * 1024;
// The largest file a signature covers (an executable, an Info.plist, a
// sealed resource): the signer refuses a larger one and the validator
// refuses it before it hashes a byte, so no check costs more than hashing
// this much.
inline constexpr std::uint64_t maximumCodeFileSize = 256 * 1024 * 1024;
inline constexpr std::string_view contents = "Contents";
// Names inside Contents.
inline constexpr std::string_view signatureFile = "CodeSignature";
inline constexpr std::string_view infoPlist = "Info.plist";
inline constexpr std::string_view executables = "MacOS";

inline constexpr std::string_view signatureFormat = "tarnel-code-signature-1";
inline constexpr std::string_view recordFormat = "tarnel-signed-code-1";
inline constexpr std::string_view certificateFormat = "tarnel-team-certificate-1";
}  // namespace layout

// What a signature vouches for. Every signing gives a new record, even of the
// same bytes: it names the certificate it is signed under and a random
// signature UUID, so a code signed again has another identity.
struct CodeRecord {
    enum class Kind { executable, bundle };
    Kind kind = Kind::executable;
    std::string identifier;
    std::string teamIdentifier;
    std::string certificateSHA256;  // of the team certificate's bytes; lowercase hexadecimal like every hash
    std::string signatureUUID;      // canonical UUID text
    std::string executableSHA256;
    // Bundles only, with paths relative to Contents:
    std::string executable;  // the main executable, "MacOS/<name>"
    std::string infoPlistSHA256;
    std::map<std::string, std::string> resources;  // path -> SHA-256 of every other file

    friend bool operator==(const CodeRecord&, const CodeRecord&) = default;
};

// A team's public key and team identifier, certified by an anchor key.
struct TeamCertificate {
    std::string teamIdentifier;
    std::string publicKeySPKI;  // DER SubjectPublicKeyInfo, P-256
    std::string anchorKeySPKI;  // the key that signs the certificate

    friend bool operator==(const TeamCertificate&, const TeamCertificate&) = default;
};

// A signature whose two signatures verify: the certificate under the anchor
// key it names, the record under the certificate's key, and both name the
// same team. Whether that anchor is trusted is a requirement's question.
struct VerifiedSignature {
    std::string recordBytes;
    CodeRecord record;
    TeamCertificate certificate;

    // SHA-256 of the record bytes, 32 bytes.
    [[nodiscard]] std::string identity() const;
};

[[nodiscard]] std::string encodeRecord(const CodeRecord& record);
[[nodiscard]] std::string encodeCertificate(const TeamCertificate& certificate);
[[nodiscard]] std::string encodeSignature(std::string_view recordBytes, const ecdsa::P256Signature& recordSignature,
                                          std::string_view certificateBytes,
                                          const ecdsa::P256Signature& certificateSignature);

// Decodes and verifies a signature. Strict decoding also refuses a
// non-canonical form and members that this version does not know, which
// are otherwise ignored. Statuses: malformedSignature, invalidSignature,
// operationFailed.
[[nodiscard]] Result<std::optional<VerifiedSignature>> verifySignature(std::string_view signature, bool strict);

// Decodes a team certificate's bytes (the same rules as inside a signature).
[[nodiscard]] std::optional<TeamCertificate> decodeCertificate(std::string_view bytes, bool strict);

// A path relative to a bundle's Contents directory that names a file inside
// it: components separated by single "/", none empty, "." or "..", no NUL,
// well-formed UTF-8, at most 1024 bytes.
[[nodiscard]] bool isContainedRelativePath(std::string_view path) noexcept;

// The 16-byte footer that follows a signature of this length in an executable.
[[nodiscard]] std::string encodeTrailerFooter(std::uint64_t signatureLength);
// The signature length a footer states; nothing when the bytes are not a
// footer (an unsigned file).
[[nodiscard]] std::optional<std::uint64_t> decodeTrailerFooter(std::string_view footer) noexcept;

}  // namespace tarnel::codesign
