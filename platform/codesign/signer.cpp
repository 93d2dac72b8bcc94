#include "platform/codesign/signer.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "common/base/base64.hpp"
#include "common/base/digest.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/base/unique_fd.hpp"
#include "common/base/uuid.hpp"
#include "platform/codesign/code_files.hpp"
#include "platform/codesign/requirement.hpp"
#include "platform/codesign/signature_format.hpp"
#include "platform/info_plist.hpp"

namespace tarnel::codesign {

namespace {

constexpr std::string_view kCredentialsFormat = "tarnel-team-credentials-1";

[[noreturn]] void fail(const std::string& message) { throw CodeSigningError(message); }

std::string quoted(const std::filesystem::path& path) { return "\"" + path.string() + "\""; }

void requireQuotable(std::string_view text, std::string_view what) {
    if (!isRequirementString(text)) {
        fail("The " + std::string(what) + " \"" + std::string(text) +
             "\" cannot be signed: it must be 1 to 255 bytes of UTF-8 without control characters, quotes or "
             "backslashes.");
    }
}

void ensureDirectory(const std::filesystem::path& directory) {
    std::error_code error;
    if (!std::filesystem::exists(directory, error)) files::ensurePrivateDirectory(directory);
}

void writeNew(const std::filesystem::path& path, std::string_view contents, mode_t mode) {
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
        fail("The file " + quoted(path) + " already exists; it is not replaced.");
    }
    files::writeAtomically(path, contents, mode);
}

std::string readRequired(const std::filesystem::path& path) {
    auto contents = files::readIfExists(path);
    if (!contents) fail("The file " + quoted(path) + " does not exist.");
    return std::move(*contents);
}

std::string hex(const std::optional<Sha256Digest>& digest, const std::filesystem::path& path) {
    if (!digest) {
        fail("The file " + quoted(path) + " cannot be read, or is larger than a signature covers (" +
             std::to_string(layout::maximumCodeFileSize) + " bytes).");
    }
    return lowercaseHex(*digest);
}

// A record of this signing, to be completed with what it seals.
CodeRecord newRecord(CodeRecord::Kind kind, std::string_view identifier, const TeamCredentials& credentials) {
    CodeRecord record;
    record.kind = kind;
    record.identifier = identifier;
    record.teamIdentifier = credentials.teamIdentifier;
    record.certificateSHA256 = sha256Hex(credentials.certificate);
    record.signatureUUID = Uuid::random().text();
    return record;
}

// The signature of a record by the team, with the team's certificate.
std::string signatureFor(const CodeRecord& record, const TeamCredentials& credentials) {
    const std::string recordBytes = encodeRecord(record);
    return encodeSignature(recordBytes, credentials.key.sign(recordBytes), credentials.certificate,
                           credentials.certificateSignature);
}

UniqueFd openInside(int bundle, const std::string& relative, const std::filesystem::path& shown) {
    UniqueFd file = code_files::openBeneath(bundle, relative, O_RDONLY | O_NONBLOCK);
    if (!file) fail("The file " + quoted(shown) + " cannot be opened: " + std::strerror(errno) + ".");
    return file;
}

}  // namespace

TeamCredentials issueTeamCredentials(const ecdsa::P256PrivateKey& anchor, std::string_view teamIdentifier,
                                     const ecdsa::P256PrivateKey& teamKey) {
    requireQuotable(teamIdentifier, "team identifier");
    std::string certificate = encodeCertificate(
        TeamCertificate{std::string(teamIdentifier), teamKey.publicKey().spki(), anchor.publicKey().spki()});
    ecdsa::P256Signature signature = anchor.sign(certificate);
    return TeamCredentials{std::string(teamIdentifier), teamKey, std::move(certificate), std::move(signature)};
}

void saveAnchor(const std::filesystem::path& directory, const ecdsa::P256PrivateKey& anchor) {
    ensureDirectory(directory);
    writeNew(directory / anchorKeyFile, anchor.pem(), 0600);
    files::writeAtomically(directory / anchorSPKIFile, anchor.publicKey().spki(), 0644);
}

ecdsa::P256PrivateKey loadAnchor(const std::filesystem::path& directory) {
    const std::filesystem::path path = directory / anchorKeyFile;
    try {
        return ecdsa::P256PrivateKey::fromPEM(readRequired(path));
    } catch (const ecdsa::EcdsaError& error) {
        fail("The anchor key " + quoted(path) + " cannot be used: " + error.message());
    }
}

void saveTeamCredentials(const std::filesystem::path& directory, const TeamCredentials& credentials) {
    ensureDirectory(directory);
    writeNew(directory / teamKeyFile, credentials.key.pem(), 0600);
    files::writeAtomically(directory / teamCertificateFile,
                           json::writeCanonical({{"certificate", base64Encode(credentials.certificate)},
                                                 {"format", std::string(kCredentialsFormat)},
                                                 {"signature", base64Encode(credentials.certificateSignature.der())}}),
                           0644);
}

TeamCredentials loadTeamCredentials(const std::filesystem::path& directory) {
    const std::filesystem::path keyPath = directory / teamKeyFile;
    const std::filesystem::path certificatePath = directory / teamCertificateFile;
    try {
        auto key = ecdsa::P256PrivateKey::fromPEM(readRequired(keyPath));
        const json::Value file = json::parse(readRequired(certificatePath), json::TopLevel::object);
        const json::ObjectReader reader(file);
        const auto certificate = base64Decode(reader.string("certificate"));
        const auto signature = base64Decode(reader.string("signature"));
        const auto decoded = certificate ? decodeCertificate(*certificate, true) : std::nullopt;
        if (reader.string("format") != kCredentialsFormat || !signature || !decoded) {
            fail("The team certificate " + quoted(certificatePath) + " is not valid.");
        }
        auto certificateSignature = ecdsa::P256Signature::fromDER(*signature);
        if (decoded->publicKeySPKI != key.publicKey().spki() ||
            !ecdsa::P256PublicKey::fromSPKI(decoded->anchorKeySPKI)
                 .isValidSignature(certificateSignature, *certificate)) {
            fail("The team certificate " + quoted(certificatePath) + " does not certify the key " + quoted(keyPath) +
                 ".");
        }
        return TeamCredentials{decoded->teamIdentifier, std::move(key), *certificate, std::move(certificateSignature)};
    } catch (const json::JsonError& error) {
        fail("The team certificate " + quoted(certificatePath) + " is not valid: " + error.message());
    } catch (const ecdsa::EcdsaError& error) {
        fail("The team credentials in " + quoted(directory) + " cannot be used: " + error.message());
    }
}

void signExecutable(const std::filesystem::path& input, const std::filesystem::path& output,
                    std::string_view identifier, const TeamCredentials& credentials) {
    requireQuotable(identifier, "identifier");
    const UniqueFd file(::open(input.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        fail("The executable " + quoted(input) + " is not a readable regular file.");
    }
    const auto embedded = code_files::readEmbeddedSignature(file.get());
    if (embedded.status == status::malformedSignature) {
        fail("The executable " + quoted(input) + " ends in a damaged signature trailer.");
    }
    auto contents = code_files::readFile(file.get(), static_cast<std::size_t>(layout::maximumCodeFileSize));
    if (embedded.status == status::unreadable || !contents) {
        fail("The executable " + quoted(input) + " cannot be read, or is larger than a signature covers (" +
             std::to_string(layout::maximumCodeFileSize) + " bytes).");
    }
    // Signing again replaces the signature the file already carries.
    if (embedded.status == status::success) contents->resize(static_cast<std::size_t>(embedded.signedLength));

    CodeRecord record = newRecord(CodeRecord::Kind::executable, identifier, credentials);
    record.executableSHA256 = sha256Hex(*contents);
    const std::string signature = signatureFor(record, credentials);
    *contents += signature;
    *contents += encodeTrailerFooter(signature.size());
    if (contents->size() > layout::maximumCodeFileSize) {
        fail("The executable " + quoted(input) + " with its signature is larger than a signature covers (" +
             std::to_string(layout::maximumCodeFileSize) + " bytes).");
    }
    files::writeAtomically(output, *contents, status.st_mode & 07777);
}

void signBundle(const std::filesystem::path& bundle, std::optional<std::string_view> identifier,
                const TeamCredentials& credentials) {
    const std::filesystem::path contentsDirectory = bundle / layout::contents;
    const std::filesystem::path infoPlistPath = contentsDirectory / layout::infoPlist;
    const auto executableName = info_plist::string(infoPlistPath, "CFBundleExecutable");
    if (!executableName || executableName->find('/') != std::string::npos ||
        !isContainedRelativePath(*executableName)) {
        fail("The Info.plist " + quoted(infoPlistPath) + " does not name a main executable (CFBundleExecutable).");
    }
    std::optional<std::string> bundleIdentifier;
    if (!identifier) {
        bundleIdentifier = info_plist::string(infoPlistPath, "CFBundleIdentifier");
        if (!bundleIdentifier) {
            fail("The Info.plist " + quoted(infoPlistPath) + " has no bundle identifier (CFBundleIdentifier).");
        }
        identifier = *bundleIdentifier;
    }
    requireQuotable(*identifier, "identifier");

    const UniqueFd directory(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) fail("The bundle " + quoted(bundle) + " is not a directory that can be opened.");

    CodeRecord record = newRecord(CodeRecord::Kind::bundle, *identifier, credentials);
    record.executable = std::string(layout::executables) + "/" + *executableName;

    const std::filesystem::path executablePath = contentsDirectory / record.executable;
    const UniqueFd executable =
        openInside(directory.get(), std::string(layout::contents) + "/" + record.executable, executablePath);
    if (code_files::readEmbeddedSignature(executable.get()).status != status::notSigned) {
        fail("The main executable " + quoted(executablePath) +
             " carries a signature of its own; a bundle's main executable is sealed by the bundle.");
    }
    record.executableSHA256 = hex(code_files::hashFile(executable.get()), executablePath);
    const UniqueFd infoPlist =
        openInside(directory.get(), std::string(layout::contents) + "/" + std::string(layout::infoPlist), infoPlistPath);
    record.infoPlistSHA256 = hex(code_files::hashFile(infoPlist.get()), infoPlistPath);

    const UniqueFd contents = openInside(directory.get(), std::string(layout::contents), contentsDirectory);
    std::optional<std::string> refused;
    const bool walked = code_files::walk(contents.get(), [&](const std::string& path, code_files::EntryKind kind) {
        if (kind == code_files::EntryKind::directory) return true;
        if (kind != code_files::EntryKind::regularFile) {
            refused = path;
            return false;
        }
        if (path == layout::infoPlist || path == layout::signatureFile || path == record.executable) return true;
        if (!isContainedRelativePath(path)) {
            refused = path;
            return false;
        }
        const UniqueFd resource = openInside(contents.get(), path, contentsDirectory / path);
        record.resources.emplace(path, hex(code_files::hashFile(resource.get()), contentsDirectory / path));
        return true;
    });
    if (refused) {
        fail("The bundle holds " + quoted(contentsDirectory / *refused) +
             ", which is a link or special file or has an unusable name; only regular files can be sealed.");
    }
    if (!walked) fail("The bundle " + quoted(bundle) + " cannot be read in full.");

    files::writeAtomically(contentsDirectory / layout::signatureFile, signatureFor(record, credentials), 0644);
}

}  // namespace tarnel::codesign
