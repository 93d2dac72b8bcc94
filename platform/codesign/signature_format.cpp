#include "platform/codesign/signature_format.hpp"

#include <set>

#include "common/base/base64.hpp"
#include "common/base/digest.hpp"
#include "common/base/json.hpp"
#include "common/base/utf8.hpp"
#include "common/base/uuid.hpp"

namespace tarnel::codesign {

namespace {

constexpr std::size_t kMaximumRelativePathSize = 1024;

using Members = std::set<std::string_view>;

const Members kSignatureMembers{"certificate", "certificate_signature", "format", "record", "record_signature"};
const Members kCertificateMembers{"anchor_key", "format", "public_key", "team_identifier"};
const Members kExecutableRecordMembers{"certificate_sha256", "executable_sha256", "format", "identifier",
                                       "kind", "signature_uuid", "team_identifier"};
const Members kBundleRecordMembers{"certificate_sha256", "executable", "executable_sha256", "format",
                                   "identifier", "info_plist_sha256", "kind", "resources",
                                   "signature_uuid", "team_identifier"};

// Thrown inside decoding; every decoder below turns it into a status.
struct Malformed {};

// Parses canonical JSON bytes into an object. Strict decoding also requires
// the bytes to be exactly the canonical form and holds the object to `known`.
json::Value object(std::string_view bytes, bool strict, const Members& known) {
    json::Value value;
    try {
        value = json::parse(bytes, json::TopLevel::object);
        if (strict && json::writeCanonical(value) != bytes) throw Malformed{};
    } catch (const json::JsonError&) {
        throw Malformed{};
    }
    if (strict) {
        for (const auto& item : value.items()) {
            if (!known.contains(item.key())) throw Malformed{};
        }
    }
    return value;
}

const std::string& string(const json::Value& object, std::string_view key) {
    const auto found = object.find(std::string(key));
    if (found == object.end() || !found->is_string()) throw Malformed{};
    return found->get_ref<const std::string&>();
}

std::string base64Member(const json::Value& object, std::string_view key) {
    auto bytes = base64Decode(string(object, key));
    if (!bytes || bytes->empty()) throw Malformed{};
    return std::move(*bytes);
}

std::string quotable(const json::Value& object, std::string_view key) {
    const std::string& text = string(object, key);
    if (!isRequirementString(text)) throw Malformed{};
    return text;
}

std::string hash(const json::Value& object, std::string_view key) {
    const std::string& text = string(object, key);
    if (!isLowercaseSha256Hex(text)) throw Malformed{};
    return text;
}

void requireFormat(const json::Value& object, std::string_view format) {
    if (string(object, "format") != format) throw Malformed{};
}

std::string spkiMember(const json::Value& object, std::string_view key) {
    std::string spki = base64Member(object, key);
    try {
        (void)ecdsa::P256PublicKey::fromSPKI(spki);
    } catch (const ecdsa::EcdsaError&) {
        throw Malformed{};
    }
    return spki;
}

TeamCertificate certificateFrom(std::string_view bytes, bool strict) {
    const json::Value value = object(bytes, strict, kCertificateMembers);
    requireFormat(value, layout::certificateFormat);
    return TeamCertificate{quotable(value, "team_identifier"), spkiMember(value, "public_key"),
                           spkiMember(value, "anchor_key")};
}

CodeRecord recordFrom(std::string_view bytes, bool strict) {
    // The kind decides which members are known, so it is read first.
    const json::Value peek = object(bytes, false, {});
    const std::string& kind = string(peek, "kind");
    const bool bundle = kind == "bundle";
    if (!bundle && kind != "executable") throw Malformed{};
    const json::Value value = object(bytes, strict, bundle ? kBundleRecordMembers : kExecutableRecordMembers);
    requireFormat(value, layout::recordFormat);

    CodeRecord record;
    record.kind = bundle ? CodeRecord::Kind::bundle : CodeRecord::Kind::executable;
    record.identifier = quotable(value, "identifier");
    record.teamIdentifier = quotable(value, "team_identifier");
    record.certificateSHA256 = hash(value, "certificate_sha256");
    record.signatureUUID = string(value, "signature_uuid");
    const auto uuid = Uuid::parse(record.signatureUUID);
    if (!uuid || uuid->text() != record.signatureUUID) throw Malformed{};
    record.executableSHA256 = hash(value, "executable_sha256");
    if (!bundle) {
        // Members of a bundle record in an executable's record contradict it.
        for (const char* key : {"executable", "info_plist_sha256", "resources"}) {
            if (value.contains(key)) throw Malformed{};
        }
        return record;
    }
    record.executable = string(value, "executable");
    const std::string prefix = std::string(layout::executables) + "/";
    if (!record.executable.starts_with(prefix) || record.executable.find('/', prefix.size()) != std::string::npos ||
        !isContainedRelativePath(record.executable)) {
        throw Malformed{};
    }
    record.infoPlistSHA256 = hash(value, "info_plist_sha256");
    const auto resources = value.find("resources");
    if (resources == value.end() || !resources->is_object()) throw Malformed{};
    for (const auto& item : resources->items()) {
        const std::string& path = item.key();
        if (!isContainedRelativePath(path) || path == record.executable || path == layout::infoPlist ||
            path == layout::signatureFile || !item.value().is_string() ||
            !isLowercaseSha256Hex(item.value().get_ref<const std::string&>())) {
            throw Malformed{};
        }
        record.resources.emplace(path, item.value().get<std::string>());
    }
    return record;
}

}  // namespace

std::string VerifiedSignature::identity() const {
    const Sha256Digest digest = sha256(recordBytes);
    return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

std::string encodeRecord(const CodeRecord& record) {
    json::Value value = {{"format", std::string(layout::recordFormat)},
                         {"identifier", record.identifier},
                         {"team_identifier", record.teamIdentifier},
                         {"certificate_sha256", record.certificateSHA256},
                         {"signature_uuid", record.signatureUUID},
                         {"executable_sha256", record.executableSHA256}};
    if (record.kind == CodeRecord::Kind::executable) {
        value["kind"] = "executable";
    } else {
        value["kind"] = "bundle";
        value["executable"] = record.executable;
        value["info_plist_sha256"] = record.infoPlistSHA256;
        value["resources"] = json::Value::object();
        for (const auto& [path, digest] : record.resources) value["resources"][path] = digest;
    }
    return json::writeCanonical(value);
}

std::string encodeCertificate(const TeamCertificate& certificate) {
    return json::writeCanonical({{"anchor_key", base64Encode(certificate.anchorKeySPKI)},
                                 {"format", std::string(layout::certificateFormat)},
                                 {"public_key", base64Encode(certificate.publicKeySPKI)},
                                 {"team_identifier", certificate.teamIdentifier}});
}

std::string encodeSignature(std::string_view recordBytes, const ecdsa::P256Signature& recordSignature,
                            std::string_view certificateBytes, const ecdsa::P256Signature& certificateSignature) {
    return json::writeCanonical({{"certificate", base64Encode(certificateBytes)},
                                 {"certificate_signature", base64Encode(certificateSignature.der())},
                                 {"format", std::string(layout::signatureFormat)},
                                 {"record", base64Encode(recordBytes)},
                                 {"record_signature", base64Encode(recordSignature.der())}});
}

std::optional<TeamCertificate> decodeCertificate(std::string_view bytes, bool strict) {
    try {
        return certificateFrom(bytes, strict);
    } catch (const Malformed&) {
        return std::nullopt;
    }
}

Result<std::optional<VerifiedSignature>> verifySignature(std::string_view signature, bool strict) {
    VerifiedSignature verified;
    std::optional<ecdsa::P256Signature> recordSignature;
    std::optional<ecdsa::P256Signature> certificateSignature;
    std::string certificateBytes;
    try {
        const json::Value value = object(signature, strict, kSignatureMembers);
        requireFormat(value, layout::signatureFormat);
        verified.recordBytes = base64Member(value, "record");
        certificateBytes = base64Member(value, "certificate");
        verified.record = recordFrom(verified.recordBytes, strict);
        verified.certificate = certificateFrom(certificateBytes, strict);
        recordSignature = ecdsa::P256Signature::fromDER(base64Member(value, "record_signature"));
        certificateSignature = ecdsa::P256Signature::fromDER(base64Member(value, "certificate_signature"));
    } catch (const Malformed&) {
        return {status::malformedSignature, std::nullopt};
    } catch (const ecdsa::EcdsaError&) {
        return {status::malformedSignature, std::nullopt};
    }
    try {
        const auto anchor = ecdsa::P256PublicKey::fromSPKI(verified.certificate.anchorKeySPKI);
        const auto team = ecdsa::P256PublicKey::fromSPKI(verified.certificate.publicKeySPKI);
        if (!anchor.isValidSignature(*certificateSignature, certificateBytes) ||
            !team.isValidSignature(*recordSignature, verified.recordBytes) ||
            verified.record.teamIdentifier != verified.certificate.teamIdentifier ||
            verified.record.certificateSHA256 != sha256Hex(certificateBytes)) {
            return {status::invalidSignature, std::nullopt};
        }
    } catch (const ecdsa::EcdsaError&) {
        return {status::operationFailed, std::nullopt};
    }
    return {status::success, std::move(verified)};
}

bool isContainedRelativePath(std::string_view path) noexcept {
    if (path.empty() || path.size() > kMaximumRelativePathSize || !utf8::isValid(path)) return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        const std::string_view component = path.substr(start, slash == std::string_view::npos ? slash : slash - start);
        if (component.empty() || component == "." || component == ".." ||
            component.find('\0') != std::string_view::npos) {
            return false;
        }
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

std::string encodeTrailerFooter(std::uint64_t signatureLength) {
    std::string footer(8, '\0');
    for (int index = 7; index >= 0; --index) {
        footer[static_cast<std::size_t>(index)] = static_cast<char>(signatureLength & 0xFF);
        signatureLength >>= 8;
    }
    return footer + std::string(layout::trailerMagic);
}

std::optional<std::uint64_t> decodeTrailerFooter(std::string_view footer) noexcept {
    if (footer.size() != layout::trailerFooterSize || footer.substr(8) != layout::trailerMagic) return std::nullopt;
    std::uint64_t length = 0;
    for (std::size_t index = 0; index < 8; ++index) {
        length = (length << 8) | static_cast<unsigned char>(footer[index]);
    }
    return length;
}

}  // namespace tarnel::codesign
