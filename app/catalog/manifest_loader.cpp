#include "app/catalog/manifest_loader.hpp"

#include <condition_variable>
#include <mutex>

#include "common/process/cancellation_error.hpp"

namespace tarnel {

std::optional<std::string> ManifestResponse::header(std::string_view name) const {
    return headerValue(headers, name);
}

void sleepUnlessStopped(std::chrono::nanoseconds duration, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wakeUp;
    std::unique_lock lock(mutex);
    // The predicate is never true: only the time or a stop ends the wait.
    wakeUp.wait_for(lock, stop, duration, [] { return false; });
    if (stop.stop_requested()) throw CancellationError();
}

}  // namespace tarnel
