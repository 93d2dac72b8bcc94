#include "common/interface_names.hpp"

#include <algorithm>

namespace tarnel::InterfaceNames {

namespace {

bool isPrefixAndDigits(std::string_view name, std::string_view prefix) noexcept {
    if (name.size() <= prefix.size() || !name.starts_with(prefix)) return false;
    const auto digits = name.substr(prefix.size());
    return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool isTunnel(std::string_view name) noexcept { return isPrefixAndDigits(name, "utun"); }

bool isPhysical(std::string_view name) noexcept { return isPrefixAndDigits(name, "en"); }

}  // namespace tarnel::InterfaceNames
