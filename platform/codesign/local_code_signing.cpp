#include "platform/codesign/local_code_signing.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "common/base/digest.hpp"
#include "common/base/unique_fd.hpp"
#include "platform/codesign/code_files.hpp"
#include "platform/codesign/signature_format.hpp"

namespace tarnel::codesign {

namespace {

using code_files::EntryKind;
using code_files::openBeneath;

constexpr std::size_t kPathBufferSize = 4096;

using SharedFd = std::shared_ptr<const UniqueFd>;

SharedFd share(UniqueFd fd) { return std::make_shared<const UniqueFd>(std::move(fd)); }

std::string contentsPath(std::string_view relative) {
    return std::string(layout::contents) + "/" + std::string(relative);
}

// What a code object was made from: its open files and the signature read
// from them at that moment. Shared, unchanged, by a running code and the
// static code taken from it.
struct LoadedCode {
    CodeRecord::Kind kind = CodeRecord::Kind::executable;
    std::filesystem::path path;  // the executable, or the bundle directory
    SharedFd image;              // the executable, or the bundle's main executable when known
    SharedFd bundle;             // the bundle directory
    // For a bundle entered through its main executable: "MacOS/<name>", which
    // the signature must name as its main executable.
    std::string mainExecutable;
    Status signatureStatus = status::notSigned;
    std::string signature;
    std::uint64_t signedLength = 0;  // executables: program bytes before the signature
};

class LocalCode final : public Code {
public:
    explicit LocalCode(std::shared_ptr<const LoadedCode> loaded) : loaded_(std::move(loaded)) {}
    [[nodiscard]] const std::shared_ptr<const LoadedCode>& loaded() const noexcept { return loaded_; }

private:
    std::shared_ptr<const LoadedCode> loaded_;
};

class LocalStaticCode final : public StaticCode {
public:
    explicit LocalStaticCode(std::shared_ptr<const LoadedCode> loaded) : loaded_(std::move(loaded)) {}
    [[nodiscard]] const LoadedCode& loaded() const noexcept { return *loaded_; }

private:
    std::shared_ptr<const LoadedCode> loaded_;
};

const LoadedCode* loadedOf(const Code& code) {
    const auto* local = dynamic_cast<const LocalCode*>(&code);
    return local == nullptr ? nullptr : local->loaded().get();
}

const LoadedCode* loadedOf(const StaticCode& code) {
    const auto* local = dynamic_cast<const LocalStaticCode*>(&code);
    return local == nullptr ? nullptr : &local->loaded();
}

bool onlyFlags(std::uint32_t given, std::uint32_t allowed) { return (given & ~allowed) == 0; }

bool isRegular(int file) {
    struct stat status {};
    return ::fstat(file, &status) == 0 && S_ISREG(status.st_mode);
}

std::string hexOf(const Sha256Digest& digest) { return lowercaseHex(digest); }

// Reads a bundle's signature file into `loaded`.
void readBundleSignature(LoadedCode& loaded) {
    const UniqueFd file = openBeneath(loaded.bundle->get(), contentsPath(layout::signatureFile), O_RDONLY | O_NONBLOCK);
    if (!file) {
        loaded.signatureStatus = errno == ENOENT ? status::notSigned : status::unreadable;
        return;
    }
    auto bytes = code_files::readFile(file.get(), layout::maximumSignatureSize);
    if (!bytes) {
        loaded.signatureStatus = isRegular(file.get()) ? status::malformedSignature : status::unreadable;
        return;
    }
    loaded.signature = std::move(*bytes);
    loaded.signatureStatus = status::success;
}

// The code an executable image belongs to: itself when it carries a
// signature, else the bundle whose main executable it is by its place.
LoadedCode loadImage(UniqueFd image, const std::filesystem::path& path) {
    LoadedCode loaded;
    auto embedded = code_files::readEmbeddedSignature(image.get());
    loaded.image = share(std::move(image));
    loaded.path = path;
    loaded.signatureStatus = embedded.status;
    loaded.signature = std::move(embedded.signature);
    loaded.signedLength = embedded.signedLength;
    if (embedded.status != status::notSigned) return loaded;

    const std::filesystem::path executables = path.parent_path();
    const std::filesystem::path contents = executables.parent_path();
    const std::filesystem::path bundle = contents.parent_path();
    if (!path.has_filename() || executables.filename() != layout::executables ||
        contents.filename() != layout::contents || bundle.empty() || bundle == contents) {
        return loaded;
    }
    UniqueFd directory(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) return loaded;  // not signed as a bundle either
    loaded.kind = CodeRecord::Kind::bundle;
    loaded.path = bundle;
    loaded.bundle = share(std::move(directory));
    loaded.mainExecutable = std::string(layout::executables) + "/" + path.filename().string();
    readBundleSignature(loaded);
    return loaded;
}

// The regular files a strictly checked bundle may hold outside the seal.
bool isSignatureFile(const CodeRecord& record, const std::string& path) {
    return path == layout::infoPlist || path == layout::signatureFile || path == record.executable;
}

Status checkResources(int bundle, const CodeRecord& record, bool strict) {
    for (const auto& [path, expected] : record.resources) {
        const UniqueFd file = openBeneath(bundle, contentsPath(path), O_RDONLY | O_NONBLOCK);
        const auto digest = file ? code_files::hashFile(file.get()) : std::nullopt;
        if (!digest || hexOf(*digest) != expected) return status::resourcesModified;
    }
    if (!strict) return status::success;
    // The whole bundle: nothing but Contents beside it, and nothing in it
    // that the seal does not name.
    const std::string prefix = std::string(layout::contents) + "/";
    const bool sealed = code_files::walk(bundle, [&](const std::string& path, EntryKind kind) {
        if (path == layout::contents) return kind == EntryKind::directory;
        if (!path.starts_with(prefix)) return false;
        if (kind == EntryKind::directory) return true;
        const std::string inside = path.substr(prefix.size());
        return kind == EntryKind::regularFile && (record.resources.contains(inside) || isSignatureFile(record, inside));
    });
    return sealed ? status::success : status::resourcesModified;
}

Status checkFiles(const LoadedCode& loaded, const CodeRecord& record, bool resources, bool strict) {
    if (loaded.kind == CodeRecord::Kind::executable) {
        if (record.kind != CodeRecord::Kind::executable) return status::malformedSignature;
        const auto digest = code_files::hashFile(loaded.image->get(), loaded.signedLength);
        if (!digest) return status::unreadable;
        return hexOf(*digest) == record.executableSHA256 ? status::success : status::codeModified;
    }
    if (record.kind != CodeRecord::Kind::bundle) return status::malformedSignature;
    // Entered through an executable that the signature does not name as the
    // main one: that executable is not signed.
    if (!loaded.mainExecutable.empty() && loaded.mainExecutable != record.executable) return status::notSigned;
    const int bundle = loaded.bundle->get();
    UniqueFd opened;
    int image = -1;
    if (loaded.image) {
        image = loaded.image->get();
    } else {
        opened = openBeneath(bundle, contentsPath(record.executable), O_RDONLY | O_NONBLOCK);
        image = opened.get();
    }
    const auto executable = image >= 0 ? code_files::hashFile(image) : std::nullopt;
    if (!executable || hexOf(*executable) != record.executableSHA256) return status::codeModified;
    const UniqueFd infoPlist = openBeneath(bundle, contentsPath(layout::infoPlist), O_RDONLY | O_NONBLOCK);
    const auto information = infoPlist ? code_files::hashFile(infoPlist.get()) : std::nullopt;
    if (!information || hexOf(*information) != record.infoPlistSHA256) return status::codeModified;
    return resources ? checkResources(bundle, record, strict) : status::success;
}

bool satisfies(const VerifiedSignature& signature, const Requirement& requirement,
               const std::optional<std::string>& anchorSPKI) {
    for (const Requirement::Clause& clause : requirement.clauses()) {
        bool holds = false;
        switch (clause.kind) {
            case Requirement::Clause::Kind::identifier: holds = signature.record.identifier == clause.value; break;
            case Requirement::Clause::Kind::anchorAppleGeneric:
                holds = anchorSPKI && signature.certificate.anchorKeySPKI == *anchorSPKI;
                break;
            case Requirement::Clause::Kind::leafOrganizationalUnit:
                holds = signature.certificate.teamIdentifier == clause.value;
                break;
        }
        if (!holds) return false;
    }
    return true;
}

// The validity of a code: its signature, then its files, then the requirement.
Status validate(const LoadedCode& loaded, bool resources, bool strict, const Requirement* requirement,
                const std::optional<std::string>& anchorSPKI) {
    if (loaded.signatureStatus != status::success) return loaded.signatureStatus;
    const auto verified = verifySignature(loaded.signature, strict);
    if (verified.status != status::success) return verified.status;
    const Status files = checkFiles(loaded, verified.value->record, resources, strict);
    if (files != status::success) return files;
    if (requirement != nullptr && !satisfies(*verified.value, *requirement, anchorSPKI)) {
        return status::requirementFailed;
    }
    return status::success;
}

Result<std::shared_ptr<const StaticCode>> staticCodeOf(std::shared_ptr<const LoadedCode> loaded) {
    return {status::success, std::make_shared<const LocalStaticCode>(std::move(loaded))};
}

}  // namespace

LocalCodeSigning::LocalCodeSigning(std::optional<ecdsa::P256PublicKey> anchor) {
    if (anchor) anchorSPKI_ = anchor->spki();
}

Result<std::shared_ptr<const Code>> LocalCodeSigning::copyGuest(std::int32_t processIdentifier,
                                                                std::uint32_t flags) const {
    if (flags != flags::none) return {status::invalidFlags, nullptr};
    if (processIdentifier < 1) return {status::noSuchProcess, nullptr};
    const std::string directoryPath = "/proc/" + std::to_string(processIdentifier);
    const UniqueFd directory(::open(directoryPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) return {errno == ENOENT ? status::noSuchProcess : status::unreadable, nullptr};
    // "exe" opens the image the process runs, even when its file was renamed
    // over or removed; a zombie has none.
    UniqueFd image(::openat(directory.get(), "exe", O_RDONLY | O_CLOEXEC));
    if (!image) {
        return {errno == ENOENT || errno == ESRCH ? status::noSuchProcess : status::unreadable, nullptr};
    }
    std::array<char, kPathBufferSize> buffer{};
    const ssize_t length = ::readlinkat(directory.get(), "exe", buffer.data(), buffer.size());
    if (length < 1 || static_cast<std::size_t>(length) >= buffer.size()) return {status::unreadable, nullptr};
    const std::filesystem::path path(std::string(buffer.data(), static_cast<std::size_t>(length)));
    if (!isRegular(image.get())) return {status::unreadable, nullptr};
    auto loaded = std::make_shared<const LoadedCode>(loadImage(std::move(image), path));
    return {status::success, std::make_shared<const LocalCode>(std::move(loaded))};
}

Status LocalCodeSigning::checkValidity(const Code& code, std::uint32_t flags, const Requirement* requirement) const {
    if (!onlyFlags(flags, flags::strictValidation)) return status::invalidFlags;
    const LoadedCode* loaded = loadedOf(code);
    if (loaded == nullptr) return status::invalidObject;
    // The running code: its image and what identifies it, not the resources.
    return validate(*loaded, false, (flags & flags::strictValidation) != 0, requirement, anchorSPKI_);
}

Result<std::shared_ptr<const StaticCode>> LocalCodeSigning::copyStaticCode(const Code& code,
                                                                           std::uint32_t flags) const {
    if (!onlyFlags(flags, flags::allArchitectures)) return {status::invalidFlags, nullptr};
    const auto* local = dynamic_cast<const LocalCode*>(&code);
    if (local == nullptr) return {status::invalidObject, nullptr};
    return staticCodeOf(local->loaded());
}

Result<std::optional<std::filesystem::path>> LocalCodeSigning::copyPath(const StaticCode& code,
                                                                        std::uint32_t flags) const {
    if (flags != flags::none) return {status::invalidFlags, std::nullopt};
    const LoadedCode* loaded = loadedOf(code);
    if (loaded == nullptr) return {status::invalidObject, std::nullopt};
    return {status::success, loaded->path};
}

Result<std::shared_ptr<const StaticCode>> LocalCodeSigning::createStaticCode(const std::filesystem::path& path,
                                                                             std::uint32_t flags) const {
    if (flags != flags::none) return {status::invalidFlags, nullptr};
    // No link is followed at the path itself; O_NONBLOCK keeps a FIFO put in
    // its place from hanging the open.
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file || ::fstat(file.get(), &status) != 0) return {status::unreadable, nullptr};
    if (S_ISREG(status.st_mode)) {
        return staticCodeOf(std::make_shared<const LoadedCode>(loadImage(std::move(file), path)));
    }
    if (!S_ISDIR(status.st_mode)) return {status::unreadable, nullptr};
    LoadedCode loaded;
    loaded.kind = CodeRecord::Kind::bundle;
    loaded.path = path;
    loaded.bundle = share(std::move(file));
    readBundleSignature(loaded);
    return staticCodeOf(std::make_shared<const LoadedCode>(std::move(loaded)));
}

Result<std::shared_ptr<const StaticCode>> LocalCodeSigning::createStaticCodeFromFile(int file,
                                                                                     const std::filesystem::path& path,
                                                                                     std::uint32_t flags) const {
    if (flags != flags::none) return {status::invalidFlags, nullptr};
    // A duplicate shares the open file, not a path: every read below is a
    // pread on it.
    UniqueFd own(::fcntl(file, F_DUPFD_CLOEXEC, 0));
    if (!own || !isRegular(own.get())) return {status::unreadable, nullptr};
    return staticCodeOf(std::make_shared<const LoadedCode>(loadImage(std::move(own), path)));
}

Status LocalCodeSigning::checkStaticValidity(const StaticCode& code, std::uint32_t flags,
                                             const Requirement* requirement) const {
    if (!onlyFlags(flags, flags::allArchitectures | flags::doNotValidateResources | flags::strictValidation)) {
        return status::invalidFlags;
    }
    const LoadedCode* loaded = loadedOf(code);
    if (loaded == nullptr) return status::invalidObject;
    return validate(*loaded, (flags & flags::doNotValidateResources) == 0, (flags & flags::strictValidation) != 0,
                    requirement, anchorSPKI_);
}

Result<std::shared_ptr<const Requirement>> LocalCodeSigning::copyDesignatedRequirement(const StaticCode& code,
                                                                                       std::uint32_t flags) const {
    if (flags != flags::none) return {status::invalidFlags, nullptr};
    const LoadedCode* loaded = loadedOf(code);
    if (loaded == nullptr) return {status::invalidObject, nullptr};
    if (loaded->signatureStatus != status::success) return {loaded->signatureStatus, nullptr};
    const auto verified = verifySignature(loaded->signature, false);
    if (verified.status != status::success) return {verified.status, nullptr};
    const CodeRecord& record = verified.value->record;
    return {status::success,
            std::make_shared<const Requirement>(Requirement::designated(record.identifier, record.teamIdentifier))};
}

Result<std::optional<SigningInformation>> LocalCodeSigning::copySigningInformation(const StaticCode& code,
                                                                                   std::uint32_t flags) const {
    if (!onlyFlags(flags, flags::signingInformation)) return {status::invalidFlags, std::nullopt};
    const LoadedCode* loaded = loadedOf(code);
    if (loaded == nullptr) return {status::invalidObject, std::nullopt};
    if (loaded->signatureStatus != status::success) return {loaded->signatureStatus, std::nullopt};
    const auto verified = verifySignature(loaded->signature, false);
    if (verified.status != status::success) return {verified.status, std::nullopt};
    SigningInformation information;
    information.unique = verified.value->identity();
    information.identifier = verified.value->record.identifier;
    if ((flags & flags::signingInformation) != 0) information.teamIdentifier = verified.value->certificate.teamIdentifier;
    return {status::success, std::move(information)};
}

Status LocalCodeSigning::validateFileResource(const StaticCode& code, std::string_view relativePath,
                                              std::string_view bytes, std::uint32_t flags) const {
    if (flags != flags::none) return status::invalidFlags;
    const LoadedCode* loaded = loadedOf(code);
    if (loaded == nullptr) return status::invalidObject;
    if (loaded->signatureStatus != status::success) return loaded->signatureStatus;
    const auto verified = verifySignature(loaded->signature, false);
    if (verified.status != status::success) return verified.status;
    const auto& resources = verified.value->record.resources;
    const auto sealed = resources.find(std::string(relativePath));
    if (sealed == resources.end()) return status::resourceNotSealed;
    return hexOf(sha256(bytes)) == sealed->second ? status::success : status::resourcesModified;
}

}  // namespace tarnel::codesign
