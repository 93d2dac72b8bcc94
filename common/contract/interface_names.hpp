#pragma once

#include <string_view>

// Whole-string matchers of the interface names the system recognises. Each
// matches the entire text: a trailing line break, a NUL byte or a non-ASCII
// digit never passes.
namespace tarnel::InterfaceNames {

// "utun" followed by one or more ASCII digits: a tunnel interface.
[[nodiscard]] bool isTunnel(std::string_view name) noexcept;

// "en" followed by one or more ASCII digits: a physical interface.
[[nodiscard]] bool isPhysical(std::string_view name) noexcept;

}  // namespace tarnel::InterfaceNames
