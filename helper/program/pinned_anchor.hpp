#pragma once

#include <string_view>

namespace tarnel::HelperProgram {

// The public key (SPKI DER) of the code-signing anchor the helper trusts,
// embedded at build time.
[[nodiscard]] std::string_view pinnedAnchorSPKI();

}  // namespace tarnel::HelperProgram
