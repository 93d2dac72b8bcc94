#pragma once

#include <filesystem>
#include <mutex>
#include <optional>

#include "common/base/clock.hpp"
#include "common/process/startup_control.hpp"
#include "helper/runtime/privileged_runtime.hpp"

namespace tarnel {

// The last prepared runtime copy, shared by every connection of the helper,
// and the admission of preparations: one runs at a time. Never written to
// disk; it starts empty and lives until the process ends.
//
// Two locks, never held together and never during file work or signature
// checks: the state lock guards the cached value and the copy being staged;
// the preparation lock guards whether a preparation runs.
class PreparedRuntimeCache {
public:
    using PreparedRuntime = PrivilegedRuntime::PreparedRuntime;

    // How often a preparation that waits for another looks at its own
    // cancellation and deadline.
    static constexpr double admissionPollInterval = 0.025;

    PreparedRuntimeCache() = default;
    PreparedRuntimeCache(const PreparedRuntimeCache&) = delete;
    PreparedRuntimeCache& operator=(const PreparedRuntimeCache&) = delete;

    // The helper process's one cache, made on first use and never freed.
    [[nodiscard]] static PreparedRuntimeCache& shared();

    // Waits until no other preparation runs, then marks one as running.
    // While it waits it polls `control` (cancellation first, then the
    // deadline) every admissionPollInterval without holding a lock, and
    // throws its error. Every admitted preparation must end with
    // finishPreparation(), whatever its outcome.
    void beginPreparation(const PrivilegedRuntimePreparationControl& control, const Clock& clock);
    // Forgets the copy being staged and lets the next preparation in.
    void finishPreparation();

    // The last successful preparation, if any.
    [[nodiscard]] std::optional<PreparedRuntime> value() const;
    // Replaces the last successful preparation.
    void store(PreparedRuntime prepared);
    // The copy the running preparation is creating, kept from removal.
    void setInFlight(std::filesystem::path url);

    // Deletes the runtime file at `url` unless it is the cached copy or the
    // copy being staged; errors are ignored. Holds the state lock throughout,
    // so that neither can change while the decision is made.
    void removeObsoleteRuntime(const std::filesystem::path& url) const;

private:
    mutable std::mutex stateMutex_;
    std::optional<std::filesystem::path> inFlightURL_;
    std::optional<PreparedRuntime> value_;

    std::mutex preparationMutex_;
    bool preparationActive_ = false;
};

}  // namespace tarnel
