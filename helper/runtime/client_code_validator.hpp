#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/unique_fd.hpp"
#include "platform/codesign/code_signing.hpp"

// Every code-signing check of the helper: the connecting application, the
// sing-box runtime sealed in its bundle, a copy of that runtime, the staged
// copy and the running runtime. Stateless operations; nothing is cached, so
// each check starts from the files and processes as they are. Failures are
// logged as named stages and thrown as PrivilegedRuntimeError.
//
// File URLs are absolute std::filesystem::paths; paths are compared as texts
// after `standardized`.
namespace tarnel::ClientCodeValidator {

inline constexpr std::string_view applicationRequirement =
    "identifier \"app.tarnel.direct\" and anchor apple generic and certificate leaf[subject.OU] = \"QK7W2M9XRT\"";
inline constexpr std::string_view runtimeAnchorRequirement =
    "anchor apple generic and certificate leaf[subject.OU] = \"QK7W2M9XRT\"";
inline constexpr std::string_view applicationBundleIdentifier = "app.tarnel.direct";
// The runtime's place in the bundle, relative to its Contents directory.
inline constexpr std::string_view sealedRuntimeResourcePath = "Resources/bin/sing-box";
// A runtime is a program of some tens of megabytes; a file beyond this is
// refused before it is hashed, read or copied.
inline constexpr std::uint64_t maximumRuntimeSize = std::uint64_t{256} * 1024 * 1024;

inline constexpr std::string_view logSubsystem = "app.tarnel.direct.helper";
inline constexpr std::string_view logCategory = "client-validation";

struct ValidatedApplication {
    std::filesystem::path url;  // the application bundle
    std::shared_ptr<const codesign::StaticCode> staticCode;  // the bundle, all architectures
    std::string codeIdentity;
};

struct ValidatedRuntime {
    std::filesystem::path sourceURL;  // standardized "<application>/Contents/Resources/bin/sing-box"
    std::shared_ptr<const codesign::Requirement> designatedRequirement;
    std::string codeIdentity;
    // The file that was checked, open for reading, and its size then (at most
    // maximumRuntimeSize): the copy is taken from it, never from the path
    // again, which its owner may have pointed elsewhere since.
    std::shared_ptr<const UniqueFd> file;
    std::uint64_t size = 0;
};

struct RuntimeStaticValidation {
    std::shared_ptr<const codesign::Requirement> designatedRequirement;
    std::string codeIdentity;
};

// The path with "." components removed and each ".." taking away the
// component before it, lexically, as a file URL is standardized: no file is
// looked at. Repeated and trailing "/" go too; ".." at the root stays at the
// root, and leading ".." components of a relative path stay.
[[nodiscard]] std::filesystem::path standardized(const std::filesystem::path& path);

// The connecting application by its process identifier. Throws
// unauthorizedClient or invalidCodeSignature.
[[nodiscard]] ValidatedApplication validateApplication(std::int32_t processIdentifier,
                                                       const codesign::CodeSigning& codeSigning);

// The path of a process's executable as ProcessInfo::executablePath reads it
// (invalid UTF-8 replaced by U+FFFD; the path it was started from when its
// file was removed or replaced since); nothing for a process that is gone or
// an invalid identifier.
[[nodiscard]] std::optional<std::filesystem::path> executableURL(std::int32_t processIdentifier);

// The nearest ancestor of the standardized executable path, or the path
// itself, whose last component has the extension "app" exactly. Throws
// unauthorizedClient when the walk reaches "/".
[[nodiscard]] std::filesystem::path applicationBundleURL(const std::filesystem::path& executableURL);

// The runtime in the validated application's bundle, opened once: an
// executable regular file (a link at its path is refused) of at most
// maximumRuntimeSize bytes, then its signature, read through that same
// descriptor. Throws invalidBundledBinary for its place, kind or size, before
// any signature is read, and invalidCodeSignature.
[[nodiscard]] ValidatedRuntime validateBundledRuntime(const std::filesystem::path& applicationURL,
                                                      const codesign::CodeSigning& codeSigning);

// A runtime file against the runtime anchor requirement, with stage prefix
// `stage` ("runtime_static", "runtime_staged_restore"). Throws
// invalidCodeSignature.
[[nodiscard]] RuntimeStaticValidation validateRuntimeStatic(const std::filesystem::path& url, std::string_view stage,
                                                            const codesign::CodeSigning& codeSigning);
// The same check of a runtime file already open as `file`, named `url`.
[[nodiscard]] RuntimeStaticValidation validateRuntimeStatic(int file, const std::filesystem::path& url,
                                                            std::string_view stage,
                                                            const codesign::CodeSigning& codeSigning);

// The static code at `url`, valid under `flags` and satisfying `requirement`.
// Throws invalidCodeSignature.
[[nodiscard]] std::shared_ptr<const codesign::StaticCode> staticCode(const std::filesystem::path& url,
                                                                     std::string_view requirement,
                                                                     std::string_view stage, std::uint32_t flags,
                                                                     const codesign::CodeSigning& codeSigning);

// The code identity of a static code. Throws invalidCodeSignature.
[[nodiscard]] std::string codeIdentity(const codesign::StaticCode& code, std::string_view stage,
                                       const codesign::CodeSigning& codeSigning);

// Accepts a runtime copy only when its bytes are those the application seals
// as "Resources/bin/sing-box". Throws invalidBundledBinary or invalidCodeSignature.
void validateSealedRuntimeResource(const std::filesystem::path& url, const codesign::StaticCode& application,
                                   const codesign::CodeSigning& codeSigning);

// The identity of a staged runtime copy that satisfies the runtime's
// designated requirement. Throws invalidCodeSignature.
[[nodiscard]] std::string validateStagedRuntime(const std::filesystem::path& url,
                                                const codesign::Requirement& runtime,
                                                const codesign::CodeSigning& codeSigning);

// The identity of the running runtime process, which must satisfy the
// runtime's designated requirement. Throws invalidCodeSignature.
[[nodiscard]] std::string validateLiveRuntime(std::int32_t processIdentifier, const codesign::Requirement& runtime,
                                              const codesign::CodeSigning& codeSigning);

// Writes "client_validation stage=<stage> status=<status>", or without the
// status when none is given, at error level. Never fails.
void log(std::string_view stage, std::optional<std::int32_t> status) noexcept;

}  // namespace tarnel::ClientCodeValidator
