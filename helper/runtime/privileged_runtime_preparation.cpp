// Runtime preparation: a private, root-owned, verified copy of the runtime
// sealed in the connecting application, made once per application build and
// found again by later preparations and by the tunnel start.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "common/process/runtime_error.hpp"
#include "common/process/startup_timing.hpp"
#include "helper/runtime/prepared_runtime_cache.hpp"
#include "helper/runtime/privileged_runtime.hpp"

namespace tarnel {

namespace {

using Case = PrivilegedRuntimeError::Case;

[[noreturn]] void fail(Case errorCase) { throw PrivilegedRuntimeError(errorCase); }

// Lets the next preparation in however this one ends.
class PreparationAdmission {
public:
    PreparationAdmission(PreparedRuntimeCache& cache, const PrivilegedRuntimePreparationControl& control,
                         const Clock& clock)
        : cache_(cache) {
        cache_.beginPreparation(control, clock);
    }
    ~PreparationAdmission() { cache_.finishPreparation(); }
    PreparationAdmission(const PreparationAdmission&) = delete;
    PreparationAdmission& operator=(const PreparationAdmission&) = delete;

private:
    PreparedRuntimeCache& cache_;
};

std::filesystem::path runtimeFile(const std::filesystem::path& directory, std::string_view prefix, const Uuid& token) {
    return directory / (std::string(prefix) + token.text());
}

// Writes the `size` bytes that the validated runtime's descriptor held when it
// was checked to the new file `destination`, created exclusively with mode
// 0700 and fsync'd, looking at the preparation's cancellation and deadline
// before every chunk after the first. Nothing is read through the runtime's
// path. Throws the control's errors, invalidBundledBinary when the file has
// become shorter, and SystemError; the caller removes the file.
void copyValidatedRuntime(const ClientCodeValidator::ValidatedRuntime& runtime,
                          const std::filesystem::path& destination,
                          const PrivilegedRuntimePreparationControl& control) {
    if (!runtime.file || !*runtime.file || runtime.size > ClientCodeValidator::maximumRuntimeSize) {
        fail(Case::invalidBundledBinary);
    }
    UniqueFd output(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0700));
    if (!output) throw SystemError("create " + destination.string(), errno);
    // The umask may have narrowed the mode; set it exactly.
    if (::fchmod(output.get(), 0700) != 0) throw SystemError("chmod " + destination.string(), errno);
    std::string buffer(PrivilegedRuntime::runtimeCopyBufferSize, '\0');
    std::uint64_t copied = 0;
    std::uint64_t nextCheckpoint = PrivilegedRuntime::runtimeCopyCheckpointInterval;
    while (copied < runtime.size) {
        if (copied >= nextCheckpoint) {
            control.checkpoint();
            nextCheckpoint += PrivilegedRuntime::runtimeCopyCheckpointInterval;
        }
        const auto wanted = static_cast<std::size_t>(
            std::min<std::uint64_t>(buffer.size(), runtime.size - copied));
        const ssize_t count = ::pread(runtime.file->get(), buffer.data(), wanted, static_cast<off_t>(copied));
        if (count < 0) {
            if (errno == EINTR) continue;
            throw SystemError("read " + runtime.sourceURL.string(), errno);
        }
        // Shortened since it was checked: not the runtime that was validated.
        if (count == 0) fail(Case::invalidBundledBinary);
        for (std::size_t written = 0; written < static_cast<std::size_t>(count);) {
            const ssize_t result = ::write(output.get(), buffer.data() + written, static_cast<std::size_t>(count) - written);
            if (result < 0) {
                if (errno == EINTR) continue;
                throw SystemError("write " + destination.string(), errno);
            }
            written += static_cast<std::size_t>(result);
        }
        copied += static_cast<std::uint64_t>(count);
    }
    if (::fsync(output.get()) != 0) throw SystemError("fsync " + destination.string(), errno);
    if (::close(output.release()) != 0) throw SystemError("close " + destination.string(), errno);
}

}  // namespace

std::string PrivilegedRuntime::prepareRuntime(const PrivilegedRuntimePreparationRequest& request,
                                              std::function<bool()> cancellationRequested) const {
    const PrivilegedRuntimePreparationControl control(request, std::move(cancellationRequested), clock());
    const auto timed = [&](PrivilegedTunnelStartupStage stage, auto&& work) {
        return PrivilegedTunnelStartupTiming::timedStage(PrivilegedTunnelStartupComponent::helper, stage,
                                                         request.attemptID, request.deadlineUptime, clock(),
                                                         std::forward<decltype(work)>(work));
    };

    const PreparationAdmission admission(preparedRuntimes(), control, clock());

    const auto reused = timed(PrivilegedTunnelStartupStage::helperRuntimeReuse, [&] {
        control.checkpoint();
        auto prepared = cachedPreparedRuntime(std::nullopt);
        control.checkpoint();
        return prepared;
    });
    if (reused) return reused->token.text();

    const auto runtime = timed(PrivilegedTunnelStartupStage::helperRuntimeValidation, [&] {
        control.checkpoint();
        ensureRuntimeDirectory();
        auto validated = ClientCodeValidator::validateBundledRuntime(applicationURL_, codeSigning());
        control.checkpoint();
        return validated;
    });

    const Uuid token = Uuid::random();
    const std::filesystem::path target = runtimeFile(runtimeDirectory(), preparedRuntimePrefix, token);
    preparedRuntimes().setInFlight(target);
    bool staged = false;
    try {
        auto prepared = timed(PrivilegedTunnelStartupStage::helperRuntimeStaging, [&] {
            auto copy = stageRuntime(runtime, token, control);
            staged = true;
            control.checkpoint();
            return copy;
        });
        // Past the stage's completed record: a failure here logs nothing more.
        if (prepared.runtimeIdentity != runtime.codeIdentity) fail(Case::invalidCodeSignature);
        control.checkpoint();
        preparedRuntimes().store(std::move(prepared));
    } catch (...) {
        // stageRuntime removes what it made when it fails itself.
        if (staged) ::unlink(target.c_str());
        throw;
    }
    return token.text();
}

std::optional<PrivilegedRuntime::PreparedRuntime> PrivilegedRuntime::cachedPreparedRuntime(
    std::optional<std::string_view> token) const {
    if (!applicationCodeIdentity_) fail(Case::invalidCodeSignature);
    auto value = preparedRuntimes().value();
    if (!value) return std::nullopt;
    if (token) {
        const auto requested = PrivilegedHelperContract::parseCanonicalAttemptID(*token);
        if (!requested || *requested != value->token) return std::nullopt;
    }
    const auto current = preparedRuntimeFileIdentity(value->binaryURL);
    if (!current) return std::nullopt;
    if (applicationCodeIdentity_->empty() || *applicationCodeIdentity_ != value->applicationIdentity) {
        return std::nullopt;
    }
    if (*current != value->fileIdentity) return std::nullopt;
    return value;
}

void PrivilegedRuntime::ensureRuntimeDirectory() const {
    files::ensureRootPrivateDirectory(runtimeDirectory(), {.createWhenMissing = true, .tighten = true},
                                      [](files::RootPrivateDirectory state) {
                                          return PrivilegedRuntimeError(state == files::RootPrivateDirectory::unreadable
                                                                            ? Case::runtimeStorageUnavailable
                                                                            : Case::unsafeRuntimeDirectory);
                                      });
}

PrivilegedRuntime::PreparedRuntime PrivilegedRuntime::stageRuntime(const ClientCodeValidator::ValidatedRuntime& runtime,
                                                                   const Uuid& token,
                                                                   const PrivilegedRuntimePreparationControl& control) const {
    const std::filesystem::path staging = runtimeFile(runtimeDirectory(), stagingRuntimePrefix, token);
    const std::filesystem::path target = runtimeFile(runtimeDirectory(), preparedRuntimePrefix, token);
    bool renamed = false;
    try {
        control.checkpoint();
        // A proper runtime file already at the target is never replaced; an
        // entry that fails the file checks is unsafeStagedRuntime.
        if (preparedRuntimeFileIdentity(target)) fail(Case::runtimeStorageUnavailable);
        // Private from the moment it exists, and on the disk before it is renamed.
        copyValidatedRuntime(runtime, staging, control);
        control.checkpoint();
        if (::lchown(staging.c_str(), 0, 0) != 0) fail(Case::runtimeStorageUnavailable);
        (void)requirePreparedRuntimeFile(staging);
        control.checkpoint();
        if (!applicationStaticCode_ || !applicationCodeIdentity_) fail(Case::invalidCodeSignature);
        ClientCodeValidator::validateSealedRuntimeResource(staging, *applicationStaticCode_, codeSigning());
        control.checkpoint();
        if (ClientCodeValidator::validateStagedRuntime(staging, *runtime.designatedRequirement, codeSigning()) !=
            runtime.codeIdentity) {
            fail(Case::invalidCodeSignature);
        }
        control.checkpoint();
        files::renameWithoutReplacing(staging, target);
        renamed = true;
        files::syncDirectory(runtimeDirectory());
        const auto fileIdentity = preparedRuntimeFileIdentity(target);
        if (!fileIdentity) fail(Case::runtimeStorageUnavailable);
        control.checkpoint();
        std::string runtimeIdentity =
            ClientCodeValidator::validateStagedRuntime(target, *runtime.designatedRequirement, codeSigning());
        if (runtimeIdentity != runtime.codeIdentity) fail(Case::invalidCodeSignature);
        return PreparedRuntime{token,
                               target,
                               *applicationCodeIdentity_,
                               std::move(runtimeIdentity),
                               *fileIdentity,
                               runtime.designatedRequirement};
    } catch (...) {
        ::unlink(staging.c_str());
        // Only a file this staging put there is removed.
        if (renamed) ::unlink(target.c_str());
        try {
            throw;
        } catch (const PrivilegedRuntimeError&) {
            throw;
        } catch (...) {
            fail(Case::runtimeStorageUnavailable);
        }
    }
}

std::optional<PrivilegedPreparedRuntimeFileIdentity> PrivilegedRuntime::preparedRuntimeFileIdentity(
    const std::filesystem::path& url) {
    struct stat status {};
    if (::lstat(url.c_str(), &status) != 0) {
        if (errno == ENOENT) return std::nullopt;
        fail(Case::runtimeStorageUnavailable);
    }
    if (!S_ISREG(status.st_mode) || status.st_uid != 0 || status.st_gid != 0 || (status.st_mode & 0777) != 0700 ||
        status.st_nlink != 1 || status.st_size < 1) {
        fail(Case::unsafeStagedRuntime);
    }
    return PrivilegedPreparedRuntimeFileIdentity{
        .device = static_cast<std::uint64_t>(status.st_dev),
        .inode = static_cast<std::uint64_t>(status.st_ino),
        .size = static_cast<std::uint64_t>(status.st_size),
        .mode = static_cast<std::uint32_t>(status.st_mode),
        .owner = 0,
        .group = 0,
        .linkCount = 1,
        .modificationSeconds = static_cast<std::int64_t>(status.st_mtim.tv_sec),
        .modificationNanoseconds = static_cast<std::int64_t>(status.st_mtim.tv_nsec),
        .statusChangeSeconds = static_cast<std::int64_t>(status.st_ctim.tv_sec),
        .statusChangeNanoseconds = static_cast<std::int64_t>(status.st_ctim.tv_nsec),
    };
}

PrivilegedPreparedRuntimeFileIdentity PrivilegedRuntime::requirePreparedRuntimeFile(const std::filesystem::path& url) {
    const auto identity = preparedRuntimeFileIdentity(url);
    if (!identity) fail(Case::unsafeStagedRuntime);
    return *identity;
}

}  // namespace tarnel
