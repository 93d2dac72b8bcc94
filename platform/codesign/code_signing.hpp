#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/codesign/requirement.hpp"

// The code-signing service of this host: signed executables and application
// bundles, checked against requirements and identified by their code identity.
// Calls report a status (0 for success, a negative number with a fixed meaning
// otherwise) and, where they make one, an object, the way the system's own
// code-signing service does; see docs/decisions.md for the formats.
namespace tarnel::codesign {

// The result status of every call: 0 or one of the negative values below.
using Status = std::int32_t;

namespace status {
inline constexpr Status success = 0;
inline constexpr Status invalidFlags = -71001;        // flags the operation does not take
inline constexpr Status invalidObject = -71002;       // a code object this service did not make
inline constexpr Status noSuchProcess = -71003;       // no live process has the identifier
inline constexpr Status unreadable = -71004;          // the code or its signature cannot be opened or read
inline constexpr Status notSigned = -71005;           // the code carries no signature
inline constexpr Status malformedSignature = -71006;  // the signature data does not decode
inline constexpr Status invalidSignature = -71007;    // a signature of the chain does not verify
inline constexpr Status codeModified = -71008;        // executable or Info.plist differs from what was signed
inline constexpr Status resourcesModified = -71009;   // a sealed resource differs, or unsealed content (strict)
inline constexpr Status requirementFailed = -71010;   // valid, but the requirement does not hold
inline constexpr Status invalidRequirement = -71011;  // the requirement text is not in the grammar
inline constexpr Status resourceNotSealed = -71012;   // the path is not in the code's resource seal
inline constexpr Status operationFailed = -71013;     // the cryptographic library failed
}  // namespace status

// A short English description of a status; "unknown status" for any other value.
[[nodiscard]] std::string_view describeStatus(Status value) noexcept;

// Flags, with the values the system's code-signing service gives them. Each
// operation takes the ones listed at it; any other bit is invalidFlags.
namespace flags {
inline constexpr std::uint32_t none = 0;
// Static code of a running code, and static validity: every architecture.
// The images of this host hold one architecture, so it asks nothing more.
inline constexpr std::uint32_t allArchitectures = 1;
// Signing information: the signer's details (team identifier) as well.
inline constexpr std::uint32_t signingInformation = 2;
// Static validity: leave the sealed resources of a bundle unchecked.
inline constexpr std::uint32_t doNotValidateResources = 4;
// Validity: refuse signature data with members this service does not know
// and, where a bundle's resources are checked, any file the seal does not
// list and any link or special file in the bundle.
inline constexpr std::uint32_t strictValidation = 16;
}  // namespace flags

// A running code found by process identifier. Opaque; made by a CodeSigning.
class Code {
public:
    virtual ~Code() = default;

protected:
    Code() = default;
};

// A code on disk: a signed executable or an application bundle. Opaque; made
// by a CodeSigning. It holds the files it was made from open, so a file
// replaced on disk afterwards does not change what it describes.
class StaticCode {
public:
    virtual ~StaticCode() = default;

protected:
    StaticCode() = default;
};

// A status with the object a call made. A status of 0 does not promise an
// object: callers check both.
template <typename T>
struct Result {
    Status status = status::success;
    T value{};
};

struct SigningInformation {
    // The code identity: SHA-256 of the signed record (32 bytes). A
    // byte-for-byte copy keeps it; signing again changes it.
    std::string unique;
    std::string identifier;
    // Only with flags::signingInformation.
    std::optional<std::string> teamIdentifier;
};

class CodeSigning {
public:
    virtual ~CodeSigning() = default;

    // The running code of a process (flags: none).
    [[nodiscard]] virtual Result<std::shared_ptr<const Code>> copyGuest(std::int32_t processIdentifier,
                                                                        std::uint32_t flags) const = 0;
    // Checks a running code's signature against its image, and the requirement
    // when one is given (flags: strictValidation).
    [[nodiscard]] virtual Status checkValidity(const Code& code, std::uint32_t flags,
                                               const Requirement* requirement) const = 0;
    // The static code a running code was loaded from: the executable, or the
    // bundle whose main executable it is (flags: allArchitectures).
    [[nodiscard]] virtual Result<std::shared_ptr<const StaticCode>> copyStaticCode(const Code& code,
                                                                                   std::uint32_t flags) const = 0;
    // The path of a static code (flags: none).
    [[nodiscard]] virtual Result<std::optional<std::filesystem::path>> copyPath(const StaticCode& code,
                                                                                std::uint32_t flags) const = 0;
    // The static code at a path: a file or a bundle directory; a link there is
    // not followed (flags: none).
    [[nodiscard]] virtual Result<std::shared_ptr<const StaticCode>> createStaticCode(
        const std::filesystem::path& path, std::uint32_t flags) const = 0;
    // The static code of an executable already open as `file` (a regular
    // file, opened for reading), named `path`: what is checked is what that
    // descriptor holds, whatever stands at the path later. The service keeps
    // a duplicate of the descriptor; the caller keeps its own (flags: none).
    // A service that cannot take a descriptor answers unreadable.
    [[nodiscard]] virtual Result<std::shared_ptr<const StaticCode>> createStaticCodeFromFile(
        int file, const std::filesystem::path& path, std::uint32_t flags) const;
    // Checks a static code's signature against its files, and the requirement
    // when one is given (flags: allArchitectures, doNotValidateResources,
    // strictValidation).
    [[nodiscard]] virtual Status checkStaticValidity(const StaticCode& code, std::uint32_t flags,
                                                     const Requirement* requirement) const = 0;
    // The requirement that names this code (flags: none).
    [[nodiscard]] virtual Result<std::shared_ptr<const Requirement>> copyDesignatedRequirement(
        const StaticCode& code, std::uint32_t flags) const = 0;
    // Signing information (flags: none or signingInformation).
    [[nodiscard]] virtual Result<std::optional<SigningInformation>> copySigningInformation(
        const StaticCode& code, std::uint32_t flags) const = 0;
    // Checks bytes against the seal of one resource of a bundle, named by its
    // path relative to the bundle's Contents directory (flags: none).
    [[nodiscard]] virtual Status validateFileResource(const StaticCode& code, std::string_view relativePath,
                                                      std::string_view bytes, std::uint32_t flags) const = 0;
    // Compiles a requirement text (flags: none).
    [[nodiscard]] virtual Result<std::shared_ptr<const Requirement>> createRequirement(std::string_view text,
                                                                                       std::uint32_t flags) const;
};

}  // namespace tarnel::codesign
