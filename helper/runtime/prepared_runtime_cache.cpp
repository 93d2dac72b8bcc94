#include "helper/runtime/prepared_runtime_cache.hpp"

#include <unistd.h>

#include <utility>

#include "helper/runtime/client_code_validator.hpp"

namespace tarnel {

PreparedRuntimeCache& PreparedRuntimeCache::shared() {
    // Made once, thread-safely, and never destroyed: preparations may still
    // run on other threads while the process exits.
    static PreparedRuntimeCache* const cache = new PreparedRuntimeCache();
    return *cache;
}

void PreparedRuntimeCache::beginPreparation(const PrivilegedRuntimePreparationControl& control, const Clock& clock) {
    std::unique_lock lock(preparationMutex_);
    while (preparationActive_) {
        lock.unlock();
        control.checkpoint();
        clock.sleepFor(admissionPollInterval);
        lock.lock();
    }
    preparationActive_ = true;
}

void PreparedRuntimeCache::finishPreparation() {
    {
        const std::lock_guard lock(stateMutex_);
        inFlightURL_.reset();
    }
    const std::lock_guard lock(preparationMutex_);
    preparationActive_ = false;
}

std::optional<PreparedRuntimeCache::PreparedRuntime> PreparedRuntimeCache::value() const {
    const std::lock_guard lock(stateMutex_);
    return value_;
}

void PreparedRuntimeCache::store(PreparedRuntime prepared) {
    const std::lock_guard lock(stateMutex_);
    value_ = std::move(prepared);
}

void PreparedRuntimeCache::setInFlight(std::filesystem::path url) {
    const std::lock_guard lock(stateMutex_);
    inFlightURL_ = std::move(url);
}

void PreparedRuntimeCache::removeObsoleteRuntime(const std::filesystem::path& url) const {
    const std::lock_guard lock(stateMutex_);
    const std::string path = ClientCodeValidator::standardized(url).string();
    if (value_ && ClientCodeValidator::standardized(value_->binaryURL).string() == path) return;
    if (inFlightURL_ && ClientCodeValidator::standardized(*inFlightURL_).string() == path) return;
    ::unlink(url.c_str());
}

}  // namespace tarnel
