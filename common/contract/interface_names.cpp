#include "common/contract/interface_names.hpp"

#include <algorithm>

namespace tarnel::InterfaceNames {

namespace {

bool isPrefixAndDigits(std::string_view name, std::string_view prefix) noexcept {
    if (name.size() <= prefix.size() || !name.starts_with(prefix)) return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool isTunnel(std::string_view name) noexcept { return isPrefixAndDigits(name, "utun"); }

bool isPhysical(std::string_view name) noexcept { return isPrefixAndDigits(name, "en"); }

}  // namespace tarnel::InterfaceNames
