#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

// The user's own directories, where macOS keeps them in the user domain.
namespace tarnel::UserDirectories {

// The user's Application Support directory: on this host the XDG data
// directory, "$XDG_DATA_HOME" when that is an absolute path, else
// "$HOME/.local/share" (the home directory of the user's account when HOME is
// not an absolute path). Tests point it at a temporary directory by setting
// XDG_DATA_HOME. Only computes the path; nothing is created. Throws
// SystemError (ENOENT) when no absolute path can be found, rather than give a
// path relative to the working directory.
[[nodiscard]] std::filesystem::path applicationSupport();

// The same from the given values of XDG_DATA_HOME and HOME (nothing: not set);
// nothing when neither is an absolute path.
[[nodiscard]] std::optional<std::filesystem::path> applicationSupport(std::optional<std::string_view> xdgDataHome,
                                                                      std::optional<std::string_view> home);

// The user's Preferences directory, where the user's settings live: on this
// host the XDG configuration directory, "$XDG_CONFIG_HOME" when that is an
// absolute path, else "$HOME/.config", found as applicationSupport() finds
// its own. Throws SystemError (ENOENT) when no absolute path can be found.
[[nodiscard]] std::filesystem::path preferences();

// The same from the given values of XDG_CONFIG_HOME and HOME (nothing: not
// set); nothing when neither is an absolute path.
[[nodiscard]] std::optional<std::filesystem::path> preferences(std::optional<std::string_view> xdgConfigHome,
                                                               std::optional<std::string_view> home);

}  // namespace tarnel::UserDirectories
