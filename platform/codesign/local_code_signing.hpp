#pragma once

#include <optional>
#include <string>

#include "common/base/ecdsa.hpp"
#include "platform/codesign/code_signing.hpp"

namespace tarnel::codesign {

// The code-signing service over this host's files and processes.
//
// - A running code is found through /proc/<pid>/exe, which stays bound to the
//   image the process was started from: a file replaced on disk afterwards
//   keeps the process's old identity. A process whose image carries no
//   signature of its own and lies at "<bundle>/Contents/MacOS/<name>" is that
//   bundle's main executable.
// - A static code is opened once, without following a link at its path, and
//   keeps its files open; its signature is read when it is made.
// - Nothing is cached between objects: every new object reads the files again.
//
// "anchor apple generic" holds for code whose team certificate is signed by
// the one anchor key given here. Immutable and safe to use from any thread.
class LocalCodeSigning final : public CodeSigning {
public:
    // Trusts `anchor`; without one, "anchor apple generic" never holds.
    explicit LocalCodeSigning(std::optional<ecdsa::P256PublicKey> anchor);

    [[nodiscard]] Result<std::shared_ptr<const Code>> copyGuest(std::int32_t processIdentifier,
                                                                std::uint32_t flags) const override;
    [[nodiscard]] Status checkValidity(const Code& code, std::uint32_t flags,
                                       const Requirement* requirement) const override;
    [[nodiscard]] Result<std::shared_ptr<const StaticCode>> copyStaticCode(const Code& code,
                                                                           std::uint32_t flags) const override;
    [[nodiscard]] Result<std::optional<std::filesystem::path>> copyPath(const StaticCode& code,
                                                                        std::uint32_t flags) const override;
    [[nodiscard]] Result<std::shared_ptr<const StaticCode>> createStaticCode(const std::filesystem::path& path,
                                                                             std::uint32_t flags) const override;
    [[nodiscard]] Result<std::shared_ptr<const StaticCode>> createStaticCodeFromFile(
        int file, const std::filesystem::path& path, std::uint32_t flags) const override;
    [[nodiscard]] Status checkStaticValidity(const StaticCode& code, std::uint32_t flags,
                                             const Requirement* requirement) const override;
    [[nodiscard]] Result<std::shared_ptr<const Requirement>> copyDesignatedRequirement(
        const StaticCode& code, std::uint32_t flags) const override;
    [[nodiscard]] Result<std::optional<SigningInformation>> copySigningInformation(
        const StaticCode& code, std::uint32_t flags) const override;
    [[nodiscard]] Status validateFileResource(const StaticCode& code, std::string_view relativePath,
                                              std::string_view bytes, std::uint32_t flags) const override;

private:
    std::optional<std::string> anchorSPKI_;
};

}  // namespace tarnel::codesign
