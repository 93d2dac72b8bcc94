#pragma once

#include <string_view>

// The two property lists that the helper program carries in ELF sections of
// its own (helper/program/CMakeLists.txt): the information property list
// (bundle identifier, versions, the one authorized client and the source
// provenance of the build) and the launchd job (label, Mach service, run at
// load). Each is the XML text exactly as its section holds it.
namespace tarnel::HelperProgramInfo {

inline constexpr std::string_view informationSectionName = ".tarnel_info_plist";
inline constexpr std::string_view launchdSectionName = ".tarnel_launchd_plist";

// The information property list of this build.
[[nodiscard]] std::string_view informationPropertyList() noexcept;

// The launchd job.
[[nodiscard]] std::string_view launchdPropertyList() noexcept;

}  // namespace tarnel::HelperProgramInfo
