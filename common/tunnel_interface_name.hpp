#pragma once

#include <string_view>

namespace tarnel {

// True for "utun" followed by one or more ASCII digits and nothing else: the
// names of tunnel interfaces (`^utun[0-9]+$`).
[[nodiscard]] constexpr bool isTunnelInterfaceName(std::string_view name) noexcept {
    constexpr std::string_view prefix = "utun";
    if (name.size() <= prefix.size() || !name.starts_with(prefix)) {
        return false;
    }
    for (const char character : name.substr(prefix.size())) {
        if (character < '0' || character > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace tarnel
