#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarnel {

// The information property list of an application bundle. The bundle keeps
// its macOS layout on every host: "<Name>.app/Contents/Info.plist" beside
// "<Name>.app/Contents/MacOS/<executable>".
namespace info_plist {

// The string stored under `key` in the top-level dictionary of the property
// list at `path` (XML or binary form). Gives nothing when the file is missing
// or unreadable, is not a property list, has no dictionary at its top level,
// lacks the key, or holds a value of another type under it.
[[nodiscard]] std::optional<std::string> string(const std::filesystem::path& path, std::string_view key);

// "<bundle>/Contents/Info.plist" for an executable that lies in
// "<bundle>/Contents/MacOS/"; nothing for an executable outside a bundle.
[[nodiscard]] std::optional<std::filesystem::path> pathForExecutable(const std::filesystem::path& executable);

// The information property list of the running program's own bundle,
// found from the executable's path; nothing when it does not run from one.
[[nodiscard]] std::optional<std::filesystem::path> mainBundlePath();

}  // namespace info_plist
}  // namespace tarnel
