#include "common/base/error.hpp"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <typeinfo>

namespace tarnel {

namespace {
// One of the two module names, never a view of the caller's text, which
// could end before the process does.
std::atomic<bool> gHelperModule{false};
}  // namespace

void setProgramModule(std::string_view module) {
    if (module != kApplicationModule && module != kHelperModule) {
        throw std::invalid_argument("unknown program module");
    }
    gHelperModule.store(module == kHelperModule);
}

std::string_view programModule() noexcept { return gHelperModule.load() ? kHelperModule : kApplicationModule; }

std::string Error::typeName() const {
    std::string name(programModule());
    name += '.';
    name += typeBaseName();
    return name;
}

const char* Error::what() const noexcept {
    static std::mutex cacheMutex;
    try {
        std::lock_guard lock(cacheMutex);
        if (!whatCached_) {
            whatCache_ = message();
            whatCached_ = true;
        }
    } catch (...) {
        return "tarnel::Error";
    }
    // Never written again once made, so the pointer stays valid.
    return whatCache_.c_str();
}

std::string errorTypeName(const std::exception& error) {
    if (const auto* own = dynamic_cast<const Error*>(&error)) {
        return own->typeName();
    }
    const char* mangled = typeid(error).name();
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
    std::string name = (status == 0 && demangled) ? demangled.get() : mangled;
    std::string dotted;
    dotted.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == ':' && i + 1 < name.size() && name[i + 1] == ':') {
            dotted += '.';
            ++i;
        } else {
            dotted += name[i];
        }
    }
    return dotted;
}

std::string errorMessage(const std::exception& error) {
    if (const auto* own = dynamic_cast<const Error*>(&error)) {
        return own->message();
    }
    return error.what();
}

std::string errorMessage(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return errorMessage(error);
    } catch (...) {
        return "unknown error";
    }
}

SystemError::SystemError(std::string operation, int errnoValue)
    : operation_(std::move(operation)), errno_(errnoValue) {}

std::string SystemError::message() const {
    char buffer[256];
    const char* text = strerror_r(errno_, buffer, sizeof buffer);  // GNU variant
    return operation_ + ": " + text;
}

}  // namespace tarnel
