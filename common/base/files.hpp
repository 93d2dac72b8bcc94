#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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

// Whether an entry (of any kind, a dangling link included) stands at the
// path. One that cannot be looked at counts as there, so that a caller reads
// and refuses it rather than taking it for nothing.
[[nodiscard]] bool entryExists(const std::filesystem::path& path);

// Copies the regular file `source` (not through a link at its path) to the
// new file `destination`, created exclusively with exactly `mode` (never
// wider), written in full and fsync'd. A failed copy removes what it created.
// Throws SystemError, EEXIST when `destination` exists.
void copyToNewFile(const std::filesystem::path& source, const std::filesystem::path& destination, mode_t mode);

// Renames `from` to `to` only when nothing exists at `to`; never replaces an
// entry. Throws SystemError (EEXIST when `to` exists).
void renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

// Flushes a directory's entries (a rename or creation in it) to the disk.
// Throws SystemError.
void syncDirectory(const std::filesystem::path& directory);

// Where the helper keeps state, a directory must be private to root: a real
// directory (not a link to one), owned by user 0, without any group or other
// permission bits. The answer comes from lstat; `unreadable` is a query that
// failed for a reason other than a missing entry.
enum class RootPrivateDirectory { safe, missing, unsafe, unreadable };
[[nodiscard]] RootPrivateDirectory inspectRootPrivateDirectory(const std::filesystem::path& path);

struct RootPrivateDirectoryOptions {
    // Create a missing directory (and missing parents) with mode 0700.
    bool createWhenMissing = true;
    // Set an existing private directory's mode to exactly 0700 as well.
    bool tighten = false;
};

// Makes sure `path` is a directory private to root, creating it when missing
// if the options say so. Every way it is not (missing and not created, a link,
// not a directory, another owner, group or other bits, a failed query) throws
// what `makeError` makes of the inspection; failures to create or tighten it
// throw SystemError. Each caller names its own error this way.
template <typename MakeError>
void ensureRootPrivateDirectory(const std::filesystem::path& path, RootPrivateDirectoryOptions options,
                                MakeError&& makeError);

namespace detail {
// The inspection after creating or tightening as the options say; safe or the
// failing inspection.
[[nodiscard]] RootPrivateDirectory prepareRootPrivateDirectory(const std::filesystem::path& path,
                                                               RootPrivateDirectoryOptions options);
}  // namespace detail

template <typename MakeError>
void ensureRootPrivateDirectory(const std::filesystem::path& path, RootPrivateDirectoryOptions options,
                                MakeError&& makeError) {
    const RootPrivateDirectory state = detail::prepareRootPrivateDirectory(path, options);
    if (state != RootPrivateDirectory::safe) throw std::forward<MakeError>(makeError)(state);
}

// The bytes of a file private to root: opened without following a link (and
// without blocking on a FIFO), it must be a regular file owned by user 0
// without group or other permission bits, and at most `maximumSize` bytes.
// Nothing when it is missing or fails any of these or cannot be read.
[[nodiscard]] std::optional<std::string> readRootPrivateFile(const std::filesystem::path& path,
                                                             std::size_t maximumSize);

}  // namespace tarnel::files
