#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/clock.hpp"
#include "common/helper_contract.hpp"
#include "common/startup_control.hpp"
#include "common/uuid.hpp"
#include "helper/runtime/client_code_validator.hpp"
#include "platform/codesign/code_signing.hpp"

namespace tarnel {

// ---------------------------------------------------------------------------
// Environment
//
// What every PrivilegedRuntime of one helper process shares: where its files
// live, whom it asks about code signatures, which clock it reads, and the
// process-wide cache of prepared runtime copies. The production values are
// the macOS ones; tests point them at their own directory, anchor and clock.
// ---------------------------------------------------------------------------

class PreparedRuntimeCache;

struct PrivilegedRuntimeEnvironment {
    static constexpr std::string_view defaultRuntimeDirectory = "/Library/Application Support/Tarnel Direct";

    // The helper's root-owned private directory: the tunnel's configuration,
    // state and log, and the prepared runtime copies.
    std::filesystem::path runtimeDirectory{defaultRuntimeDirectory};
    // The code-signing service every check of the runtime goes through.
    std::shared_ptr<const codesign::CodeSigning> codeSigning;
    // The clock of every deadline, wait and timing record.
    std::shared_ptr<const Clock> clock = systemClock();
    // The prepared runtime copies; in the helper, the one cache of the process
    // (PreparedRuntimeCache::shared()), so that a copy prepared over one
    // connection is found by the next. Tests give each case a cache of its own.
    std::shared_ptr<PreparedRuntimeCache> preparedRuntimes = sharedPreparedRuntimes();

    // The process's system clock, not owned.
    [[nodiscard]] static std::shared_ptr<const Clock> systemClock();
    // PreparedRuntimeCache::shared(), not owned.
    [[nodiscard]] static std::shared_ptr<PreparedRuntimeCache> sharedPreparedRuntimes();
};

// The helper's runtime object: one per admitted connection, bound to the
// validated application that connected, and one for launch recovery, which
// has no application and so can never prepare or reuse a runtime.
class PrivilegedRuntime {
public:
    // -----------------------------------------------------------------------
    // Construction
    // -----------------------------------------------------------------------

    // A runtime for a connection of the validated application, whose user is
    // `clientUserIdentifier` (the connection's effective user id).
    [[nodiscard]] static PrivilegedRuntime forApplication(PrivilegedRuntimeEnvironment environment,
                                                          const ClientCodeValidator::ValidatedApplication& application,
                                                          std::uint32_t clientUserIdentifier);
    // The runtime of launch recovery: application "/" without static code,
    // code identity or user.
    [[nodiscard]] static PrivilegedRuntime forLaunchRecovery(PrivilegedRuntimeEnvironment environment);

    // Throws std::invalid_argument when the environment lacks its code-signing
    // service, clock or cache.
    PrivilegedRuntime(PrivilegedRuntimeEnvironment environment, std::filesystem::path applicationURL,
                      std::shared_ptr<const codesign::StaticCode> applicationStaticCode,
                      std::optional<std::string> applicationCodeIdentity,
                      std::optional<std::uint32_t> clientUserIdentifier);

    [[nodiscard]] const std::filesystem::path& applicationURL() const noexcept { return applicationURL_; }
    [[nodiscard]] const std::shared_ptr<const codesign::StaticCode>& applicationStaticCode() const noexcept {
        return applicationStaticCode_;
    }
    [[nodiscard]] const std::optional<std::string>& applicationCodeIdentity() const noexcept {
        return applicationCodeIdentity_;
    }
    [[nodiscard]] std::optional<std::uint32_t> clientUserIdentifier() const noexcept { return clientUserIdentifier_; }
    [[nodiscard]] const PrivilegedRuntimeEnvironment& environment() const noexcept { return environment_; }
    [[nodiscard]] const std::filesystem::path& runtimeDirectory() const noexcept {
        return environment_.runtimeDirectory;
    }

    // -----------------------------------------------------------------------
    // Runtime preparation (privileged_runtime_preparation.cpp)
    // -----------------------------------------------------------------------

    // One prepared copy of the runtime in the runtime directory.
    struct PreparedRuntime {
        Uuid token;                           // also the suffix of the file name
        std::filesystem::path binaryURL;      // <runtimeDirectory>/sing-box-<TOKEN>
        std::string applicationIdentity;      // code identity of the application that prepared it
        std::string runtimeIdentity;          // code identity of the copy, measured after the rename
        PrivilegedPreparedRuntimeFileIdentity fileIdentity;  // lstat of the copy after the rename
        std::shared_ptr<const codesign::Requirement> designatedRequirement;
    };

    // The process-wide cache of the last prepared copy (prepared_runtime_cache.hpp).
    using PreparedRuntimeCache = tarnel::PreparedRuntimeCache;

    static constexpr std::string_view preparedRuntimePrefix = "sing-box-";
    static constexpr std::string_view stagingRuntimePrefix = ".sing-box-stage-";

    // Turns the runtime sealed in the application into a private, root-owned,
    // verified copy in the runtime directory, or finds the one already made
    // for this application build, and answers its token (canonical upper-case
    // UUID text). One preparation runs at a time in the process; a waiter
    // gives up on its own cancellation or deadline. Throws
    // PrivilegedRuntimeError, or the SystemError of creating the runtime
    // directory or of reading the runtime's link status.
    [[nodiscard]] std::string prepareRuntime(const PrivilegedRuntimePreparationRequest& request,
                                             std::function<bool()> cancellationRequested) const;

    // The cached prepared runtime when it is still valid for this connection's
    // application: the token (when given) names it in canonical text, the file
    // is the same entry with unchanged metadata, and the application build is
    // the one that prepared it. Throws invalidCodeSignature without an
    // application identity, and the errors of the file identity read.
    [[nodiscard]] std::optional<PreparedRuntime> cachedPreparedRuntime(std::optional<std::string_view> token) const;

    // Creates the runtime directory (0700) or checks that it is a root-owned
    // private directory, and sets it to 0700. Throws unsafeRuntimeDirectory,
    // runtimeStorageUnavailable, or the SystemError of creating it.
    void ensureRuntimeDirectory() const;

    // Copies the validated runtime to "<runtimeDirectory>/sing-box-<token>"
    // through a hidden staging file, checking the copy against the
    // application's seal and the runtime's requirement before and after the
    // rename. The staging file never remains. Throws PrivilegedRuntimeError.
    [[nodiscard]] PreparedRuntime stageRuntime(const ClientCodeValidator::ValidatedRuntime& runtime, const Uuid& token,
                                               const PrivilegedRuntimePreparationControl& control) const;

    // The lstat identity of a prepared runtime file; nothing when it does not
    // exist. Throws unsafeStagedRuntime unless it is a non-empty regular file
    // of user and group 0, mode 0700, with one link; runtimeStorageUnavailable
    // when it cannot be looked at.
    [[nodiscard]] static std::optional<PrivilegedPreparedRuntimeFileIdentity> preparedRuntimeFileIdentity(
        const std::filesystem::path& url);
    // As above, but a missing file is unsafeStagedRuntime too.
    [[nodiscard]] static PrivilegedPreparedRuntimeFileIdentity requirePreparedRuntimeFile(
        const std::filesystem::path& url);

    // -----------------------------------------------------------------------
    // Tunnel state, status, stop and launch: added beside the above in their
    // own source files.
    // -----------------------------------------------------------------------

private:
    [[nodiscard]] const Clock& clock() const noexcept { return *environment_.clock; }
    [[nodiscard]] const codesign::CodeSigning& codeSigning() const noexcept { return *environment_.codeSigning; }
    [[nodiscard]] PreparedRuntimeCache& preparedRuntimes() const noexcept { return *environment_.preparedRuntimes; }

    PrivilegedRuntimeEnvironment environment_;
    std::filesystem::path applicationURL_;
    std::shared_ptr<const codesign::StaticCode> applicationStaticCode_;
    std::optional<std::string> applicationCodeIdentity_;
    std::optional<std::uint32_t> clientUserIdentifier_;
};

}  // namespace tarnel
