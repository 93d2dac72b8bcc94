#include "common/error.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <typeinfo>

namespace tarnel {

namespace {
std::string_view gProgramModule = kApplicationModule;
}

void setProgramModule(std::string_view module) { gProgramModule = module; }

std::string_view programModule() noexcept { return gProgramModule; }

std::string Error::typeName() const {
    std::string name(programModule());
    name += '.';
    name += typeBaseName();
    return name;
}

const char* Error::what() const noexcept {
    try {
        whatCache_ = message();
    } catch (...) {
        return "tarnel::Error";
    }
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

SystemError::SystemError(std::string operation, int errnoValue)
    : operation_(std::move(operation)), errno_(errnoValue) {}

std::string SystemError::message() const {
    char buffer[256];
    const char* text = strerror_r(errno_, buffer, sizeof buffer);  // GNU variant
    return operation_ + ": " + text;
}

}  // namespace tarnel
