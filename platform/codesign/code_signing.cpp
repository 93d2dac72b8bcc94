#include "platform/codesign/code_signing.hpp"

namespace tarnel::codesign {

std::string_view describeStatus(Status value) noexcept {
    switch (value) {
        case status::success: return "success";
        case status::invalidFlags: return "the flags are not valid for this operation";
        case status::invalidObject: return "the code object was not made by this code-signing service";
        case status::noSuchProcess: return "no live process has this identifier";
        case status::unreadable: return "the code or its signature cannot be opened or read";
        case status::notSigned: return "the code is not signed";
        case status::malformedSignature: return "the signature is malformed";
        case status::invalidSignature: return "a signature of the certificate chain does not verify";
        case status::codeModified: return "the executable or its information property list was modified";
        case status::resourcesModified: return "a sealed resource was modified, or the bundle holds unsealed content";
        case status::requirementFailed: return "the code does not satisfy the requirement";
        case status::invalidRequirement: return "the requirement text is not valid";
        case status::resourceNotSealed: return "the resource is not sealed by the code's signature";
        case status::operationFailed: return "the cryptographic library failed";
        default: return "unknown status";
    }
}

Result<std::shared_ptr<const StaticCode>> CodeSigning::createStaticCodeFromFile(int, const std::filesystem::path&,
                                                                              std::uint32_t) const {
    return {status::unreadable, nullptr};
}

Result<std::shared_ptr<const Requirement>> CodeSigning::createRequirement(std::string_view text,
                                                                          std::uint32_t flags) const {
    if (flags != flags::none) return {status::invalidFlags, nullptr};
    auto requirement = Requirement::compile(text);
    if (!requirement) return {status::invalidRequirement, nullptr};
    return {status::success, std::make_shared<const Requirement>(std::move(*requirement))};
}

}  // namespace tarnel::codesign
