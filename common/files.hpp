#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace tarnel::files {

// Writes `contents` to `path` atomically: a temporary file beside it, created
// with `mode` from the start (never wider), written in full, fsync'd, renamed
// over the target, and the directory fsync'd. Readers see the old file or the
// new one, never a part. Throws SystemError.
void writeAtomically(const std::filesystem::path& path, std::string_view contents, mode_t mode = 0600);

// Creates the directory (and missing parents, 0700 too) with mode 0700, or
// tightens an existing one to 0700. Throws SystemError.
void ensurePrivateDirectory(const std::filesystem::path& path);

// Reads a whole regular file; gives nothing when it does not exist. Refuses a
// file larger than `maximumSize`. Throws SystemError on other failures.
[[nodiscard]] std::optional<std::string> readIfExists(const std::filesystem::path& path,
                                                      std::size_t maximumSize = 16 * 1024 * 1024);

// Removes a file; a missing file is not an error. Throws SystemError.
void removeIfExists(const std::filesystem::path& path);

}  // namespace tarnel::files
