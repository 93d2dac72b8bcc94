#pragma once

#include <string_view>

// What the helper program carries in ELF sections of its own
// (helper/program/CMakeLists.txt): the information property list (bundle
// identifier, versions, the one authorized client and the source provenance
// of the build), the launchd job (label, Mach service, run at load) and the
// systemd unit of a Linux installation. Each is the file's text exactly as its
// section holds it.
namespace tarnel::HelperProgramInfo {

inline constexpr std::string_view informationSectionName = ".tarnel_info_plist";
inline constexpr std::string_view launchdSectionName = ".tarnel_launchd_plist";
inline constexpr std::string_view systemdUnitSectionName = ".tarnel_systemd_unit";

// The information property list of this build.
[[nodiscard]] std::string_view informationPropertyList() noexcept;

// The launchd job.
[[nodiscard]] std::string_view launchdPropertyList() noexcept;

// The systemd unit, "app.tarnel.direct.helper.service"; the application
// carries the same bytes to register the helper.
[[nodiscard]] std::string_view systemdUnit() noexcept;

}  // namespace tarnel::HelperProgramInfo
