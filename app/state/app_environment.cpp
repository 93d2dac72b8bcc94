#include "app/state/app_environment.hpp"

#include <cstdlib>
#include <random>

namespace tarnel {

int AppEnvironment::uniformFailoverPauseJitter() {
    std::random_device source;
    return std::uniform_int_distribution<int>(0, 400)(source);
}

std::shared_ptr<const Clock> AppEnvironment::systemClock() {
    return {std::shared_ptr<const Clock>(), &SystemClock::shared()};
}

std::optional<std::string> AppEnvironment::processEnvironmentVariable(std::string_view name) {
    const char* const value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

}  // namespace tarnel
