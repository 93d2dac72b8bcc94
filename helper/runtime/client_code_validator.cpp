#include "helper/runtime/client_code_validator.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "common/base/log.hpp"
#include "common/process/runtime_error.hpp"
#include "platform/info_plist.hpp"
#include "platform/process_info.hpp"

namespace tarnel::ClientCodeValidator {

namespace {

using codesign::CodeSigning;
using codesign::Status;
namespace flags = codesign::flags;
namespace status = codesign::status;

// Flags of the checks (the code-signing service's values).
constexpr std::uint32_t kLiveValidity = flags::strictValidation;                               // 16
constexpr std::uint32_t kApplicationStaticCopy = flags::allArchitectures;                      // 1
constexpr std::uint32_t kApplicationStaticValidity =
    flags::allArchitectures | flags::doNotValidateResources | flags::strictValidation;         // 21
constexpr std::uint32_t kRuntimeStaticValidity = flags::allArchitectures | flags::strictValidation;  // 17

[[noreturn]] void fail(PrivilegedRuntimeError::Case errorCase) { throw PrivilegedRuntimeError(errorCase); }

// Compiles a requirement text afresh; a text that does not compile is a
// signature failure, not logged.
std::shared_ptr<const codesign::Requirement> compiledRequirement(std::string_view text,
                                                                 const CodeSigning& codeSigning) {
    auto compiled = codeSigning.createRequirement(text, flags::none);
    if (compiled.status != status::success || !compiled.value) fail(PrivilegedRuntimeError::Case::invalidCodeSignature);
    return std::move(compiled.value);
}

std::string joined(std::string_view prefix, std::string_view suffix) {
    return std::string(prefix) + std::string(suffix);
}

using StaticCodeResult = codesign::Result<std::shared_ptr<const codesign::StaticCode>>;

// The static code that `code` made, valid under `flags` and satisfying
// `requirement`; failures are logged as the stage followed by "_create", and
// the stage.
std::shared_ptr<const codesign::StaticCode> validStaticCode(StaticCodeResult code,
                                                            const codesign::Requirement& requirement,
                                                            std::string_view stage, std::uint32_t flags,
                                                            const CodeSigning& codeSigning) {
    if (code.status != status::success || !code.value) {
        log(joined(stage, "_create"), code.status);
        fail(PrivilegedRuntimeError::Case::invalidCodeSignature);
    }
    const Status validity = codeSigning.checkStaticValidity(*code.value, flags, &requirement);
    if (validity != status::success) {
        log(stage, validity);
        fail(PrivilegedRuntimeError::Case::invalidCodeSignature);
    }
    return std::move(code.value);
}

// The extension of a path component: what follows its last ".", unless that
// "." begins the name.
std::string_view pathExtension(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

}  // namespace

std::filesystem::path standardized(const std::filesystem::path& path) {
    const std::string& text = path.native();
    if (text.empty()) return {};
    const bool absolute = text.front() == '/';
    std::vector<std::string_view> components;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t slash = text.find('/', start);
        const std::size_t end = slash == std::string::npos ? text.size() : slash;
        const std::string_view component(text.data() + start, end - start);
        if (component == "..") {
            if (!components.empty() && components.back() != "..") {
                components.pop_back();
            } else if (!absolute) {
                components.push_back(component);
            }
        } else if (!component.empty() && component != ".") {
            components.push_back(component);
        }
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    std::string result = absolute ? "/" : "";
    for (std::size_t index = 0; index < components.size(); ++index) {
        if (index > 0) result += '/';
        result += components[index];
    }
    if (result.empty()) result = ".";
    return result;
}

ValidatedApplication validateApplication(std::int32_t processIdentifier, const CodeSigning& codeSigning) {
    using Case = PrivilegedRuntimeError::Case;
    const auto guest = codeSigning.copyGuest(processIdentifier, flags::none);
    if (guest.status != status::success || !guest.value) {
        log("guest_code", guest.status);
        fail(Case::unauthorizedClient);
    }
    const Status live = codeSigning.checkValidity(*guest.value, kLiveValidity,
                                                  compiledRequirement(applicationRequirement, codeSigning).get());
    if (live != status::success) {
        log("live_requirement", live);
        fail(Case::unauthorizedClient);
    }
    const auto executable = executableURL(processIdentifier);
    if (!executable) {
        log("executable_path", std::nullopt);
        fail(Case::unauthorizedClient);
    }
    const std::filesystem::path bundle = applicationBundleURL(*executable);
    const auto bundleIdentifier = info_plist::string(bundle / "Contents" / "Info.plist", "CFBundleIdentifier");
    if (bundleIdentifier != applicationBundleIdentifier) {
        log("bundle_identifier", std::nullopt);
        fail(Case::unauthorizedClient);
    }
    const auto staticCopy = codeSigning.copyStaticCode(*guest.value, kApplicationStaticCopy);
    if (staticCopy.status != status::success || !staticCopy.value) {
        log("application_static_copy", staticCopy.status);
        fail(Case::unauthorizedClient);
    }
    const auto staticPath = codeSigning.copyPath(*staticCopy.value, flags::none);
    if (staticPath.status != status::success || !staticPath.value ||
        standardized(*staticPath.value) != standardized(bundle)) {
        log("application_static_path", staticPath.status);
        fail(Case::unauthorizedClient);
    }
    const Status validity = codeSigning.checkStaticValidity(*staticCopy.value, kApplicationStaticValidity,
                                                            compiledRequirement(applicationRequirement, codeSigning).get());
    if (validity != status::success) {
        log("application_static", validity);
        fail(Case::invalidCodeSignature);
    }
    std::string identity = codeIdentity(*staticCopy.value, "application_identity", codeSigning);
    return ValidatedApplication{bundle, staticCopy.value, std::move(identity)};
}

std::optional<std::filesystem::path> executableURL(std::int32_t processIdentifier) {
    auto path = ProcessInfo::executablePath(processIdentifier);
    if (!path) return std::nullopt;
    return std::filesystem::path(std::move(*path));
}

std::filesystem::path applicationBundleURL(const std::filesystem::path& executableURL) {
    std::filesystem::path current = standardized(executableURL);
    for (;;) {
        const std::string& text = current.native();
        // A relative path runs out of components instead of reaching "/".
        if (text == "/" || text.empty() || text == "." || text == "..") {
            fail(PrivilegedRuntimeError::Case::unauthorizedClient);
        }
        if (pathExtension(current.filename().native()) == "app") return current;
        current = current.parent_path();
    }
}

ValidatedRuntime validateBundledRuntime(const std::filesystem::path& applicationURL, const CodeSigning& codeSigning) {
    using Case = PrivilegedRuntimeError::Case;
    const std::filesystem::path runtime =
        standardized(applicationURL / "Contents" / "Resources" / "bin" / "sing-box");
    if (!runtime.native().starts_with(standardized(applicationURL).native() + "/Contents/Resources/bin/")) {
        fail(Case::invalidBundledBinary);
    }
    // Opened once, and everything after looks only at this descriptor: the
    // application's owner may point the path at another file at any moment.
    // A link at the path is refused (ELOOP); O_NONBLOCK keeps a FIFO from
    // hanging the open, and it is refused as not a regular file.
    auto file = std::make_shared<const UniqueFd>(::open(runtime.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!*file || ::fstat(file->get(), &status) != 0 || !S_ISREG(status.st_mode) || (status.st_mode & 0111) == 0) {
        fail(Case::invalidBundledBinary);
    }
    // Refused before a byte of it is hashed, read or copied.
    const auto size = static_cast<std::uint64_t>(status.st_size);
    if (size > maximumRuntimeSize) fail(Case::invalidBundledBinary);
    RuntimeStaticValidation validation = validateRuntimeStatic(file->get(), runtime, "runtime_static", codeSigning);
    return ValidatedRuntime{runtime, std::move(validation.designatedRequirement), std::move(validation.codeIdentity),
                            std::move(file), size};
}

namespace {

// The designated requirement and identity of the runtime's static code that
// `create` makes, once the requirement has compiled.
template <typename Create>
RuntimeStaticValidation runtimeStatic(Create&& create, std::string_view stage, const CodeSigning& codeSigning) {
    const auto requirement = compiledRequirement(runtimeAnchorRequirement, codeSigning);
    const auto code = validStaticCode(create(), *requirement, stage, kRuntimeStaticValidity, codeSigning);
    auto designated = codeSigning.copyDesignatedRequirement(*code, flags::none);
    if (designated.status != status::success || !designated.value) {
        log(joined(stage, "_designated_requirement"), designated.status);
        fail(PrivilegedRuntimeError::Case::invalidCodeSignature);
    }
    std::string identity = codeIdentity(*code, joined(stage, "_identity"), codeSigning);
    return RuntimeStaticValidation{std::move(designated.value), std::move(identity)};
}

}  // namespace

RuntimeStaticValidation validateRuntimeStatic(const std::filesystem::path& url, std::string_view stage,
                                              const CodeSigning& codeSigning) {
    return runtimeStatic([&] { return codeSigning.createStaticCode(url, flags::none); }, stage, codeSigning);
}

RuntimeStaticValidation validateRuntimeStatic(int file, const std::filesystem::path& url, std::string_view stage,
                                              const CodeSigning& codeSigning) {
    return runtimeStatic([&] { return codeSigning.createStaticCodeFromFile(file, url, flags::none); }, stage,
                         codeSigning);
}

std::shared_ptr<const codesign::StaticCode> staticCode(const std::filesystem::path& url,
                                                       std::string_view requirementText, std::string_view stage,
                                                       std::uint32_t flags, const CodeSigning& codeSigning) {
    const auto compiled = compiledRequirement(requirementText, codeSigning);
    return validStaticCode(codeSigning.createStaticCode(url, flags::none), *compiled, stage, flags, codeSigning);
}

std::string codeIdentity(const codesign::StaticCode& code, std::string_view stage, const CodeSigning& codeSigning) {
    auto information = codeSigning.copySigningInformation(code, flags::signingInformation);
    if (information.status != status::success || !information.value || information.value->unique.empty()) {
        log(stage, information.status);
        fail(PrivilegedRuntimeError::Case::invalidCodeSignature);
    }
    return std::move(information.value->unique);
}

void validateSealedRuntimeResource(const std::filesystem::path& url, const codesign::StaticCode& application,
                                   const CodeSigning& codeSigning) {
    std::optional<std::string> bytes;
    try {
        bytes = files::readIfExists(url, maximumRuntimeSize);
    } catch (const std::exception&) {
        bytes.reset();
    }
    if (!bytes) {
        log("runtime_resource_read", std::nullopt);
        fail(PrivilegedRuntimeError::Case::invalidBundledBinary);
    }
    const Status seal = codeSigning.validateFileResource(application, sealedRuntimeResourcePath, *bytes, flags::none);
    if (seal != status::success) {
        log("runtime_resource_seal", seal);
        fail(PrivilegedRuntimeError::Case::invalidCodeSignature);
    }
}

std::string validateStagedRuntime(const std::filesystem::path& url, const codesign::Requirement& runtime,
                                  const CodeSigning& codeSigning) {
    const auto code = validStaticCode(codeSigning.createStaticCode(url, flags::none), runtime, "runtime_staged_static",
                                      kRuntimeStaticValidity, codeSigning);
    return codeIdentity(*code, "runtime_staged_identity", codeSigning);
}

std::string validateLiveRuntime(std::int32_t processIdentifier, const codesign::Requirement& runtime,
                                const CodeSigning& codeSigning) {
    const auto guest = codeSigning.copyGuest(processIdentifier, flags::none);
    if (guest.status != status::success || !guest.value) {
        log("runtime_live_guest", guest.status);
        fail(PrivilegedRuntimeError::Case::invalidCodeSignature);
    }
    const Status live = codeSigning.checkValidity(*guest.value, kLiveValidity, &runtime);
    if (live != status::success) {
        log("runtime_live_requirement", live);
        fail(PrivilegedRuntimeError::Case::invalidCodeSignature);
    }
    const auto staticCopy = codeSigning.copyStaticCode(*guest.value, flags::none);
    if (staticCopy.status != status::success || !staticCopy.value) {
        log("runtime_live_identity", staticCopy.status);
        fail(PrivilegedRuntimeError::Case::invalidCodeSignature);
    }
    return codeIdentity(*staticCopy.value, "runtime_live_identity", codeSigning);
}

void log(std::string_view stage, std::optional<std::int32_t> status) noexcept {
    try {
        static const Log logger{std::string(logSubsystem), std::string(logCategory)};
        std::string text = "client_validation stage=" + std::string(stage);
        if (status) text += " status=" + std::to_string(*status);
        logger.error(text);
    } catch (...) {
        // Logging never fails its caller.
    }
}

}  // namespace tarnel::ClientCodeValidator
