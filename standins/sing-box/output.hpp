#pragma once

#include <string_view>

namespace tarnel::standin {

// Writes "sing-box: <text>" and a line break to the descriptor in one write,
// so that lines from several threads never interleave. Never fails.
void writeLine(int descriptor, std::string_view text) noexcept;

// A diagnostic line on standard error.
inline void report(std::string_view text) noexcept { writeLine(2, text); }

}  // namespace tarnel::standin
