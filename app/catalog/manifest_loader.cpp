#include "app/catalog/manifest_loader.hpp"

#include <condition_variable>
#include <mutex>

#include "common/process/cancellation_error.hpp"

namespace tarnel {

namespace {

bool equalIgnoringAsciiCase(std::string_view left, std::string_view right) noexcept {
    if (left.size() != right.size()) return false;
    for (std::size_t index = 0; index < left.size(); ++index) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(left[index]) != lower(right[index])) return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> ManifestResponse::header(std::string_view name) const {
    std::optional<std::string> value;
    for (const auto& field : headers) {
        if (!equalIgnoringAsciiCase(field.name, name)) continue;
        if (value) {
            *value += ", ";
            *value += field.value;
        } else {
            value = field.value;
        }
    }
    return value;
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
