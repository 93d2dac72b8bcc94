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

// Where the helper keeps state, a directory must be private to root: a real
// directory (not a link to one), owned by user 0, without any group or other
// permission bits. The answer comes from lstat; a query that fails for a
// reason other than a missing entry is unsafe.
enum class RootPrivateDirectory { safe, missing, unsafe };
[[nodiscard]] RootPrivateDirectory inspectRootPrivateDirectory(const std::filesystem::path& path);

// Readies a directory private to root for the helper's records: true when it
// is safe, or when it was missing and `creating` is set, after creating it
// (and missing parents) with mode 0700; false when it is unsafe, or missing
// without `creating`. Throws SystemError when the creation fails.
[[nodiscard]] bool prepareRootPrivateDirectory(const std::filesystem::path& path, bool creating);

// The bytes of a file private to root: opened without following a link (and
// without blocking on a FIFO), it must be a regular file owned by user 0
// without group or other permission bits, and at most `maximumSize` bytes.
// Nothing when it is missing or fails any of these or cannot be read.
[[nodiscard]] std::optional<std::string> readRootPrivateFile(const std::filesystem::path& path,
                                                             std::size_t maximumSize);

}  // namespace tarnel::files
