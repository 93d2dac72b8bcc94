#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/digest.hpp"
#include "common/base/unique_fd.hpp"
#include "platform/codesign/code_signing.hpp"

// File access of the code-signing layer. Everything inside a bundle is opened
// relative to the bundle's directory handle and without following a link at
// any step, so a link cannot lead a check outside the bundle.
namespace tarnel::codesign::code_files {

// Opens `relativePath` (see isContainedRelativePath) below `directory`,
// refusing a link at every component (ELOOP or ENOTDIR). `flags` are those of
// open(2) for the last component; close-on-exec and no-follow are added.
// Invalid on failure, with errno set.
[[nodiscard]] UniqueFd openBeneath(int directory, std::string_view relativePath, int flags);

// True when a file is larger than a signature may cover
// (layout::maximumCodeFileSize) or its size cannot be read.
[[nodiscard]] bool exceedsCodeFileSize(int file);

// SHA-256 of a regular file's first `length` bytes (all of it when nothing),
// read with pread so that handles may be shared. Nothing when a read fails,
// the file is shorter, or it exceeds the largest size a signature covers
// (checked before a byte is read).
[[nodiscard]] std::optional<Sha256Digest> hashFile(int file, std::optional<std::uint64_t> length = std::nullopt);

// The whole of a regular file of at most `maximumSize` bytes; nothing when it
// is not regular, too large or unreadable.
[[nodiscard]] std::optional<std::string> readFile(int file, std::size_t maximumSize);

// The signature an executable carries in its trailer.
struct EmbeddedSignature {
    Status status = status::notSigned;  // success, notSigned, malformedSignature or unreadable
    std::string signature;
    std::uint64_t signedLength = 0;  // the program bytes before the signature
};
[[nodiscard]] EmbeddedSignature readEmbeddedSignature(int file);

enum class EntryKind { directory, regularFile, other };

// Visits every entry below `directory`, depth first in name order, with its
// path relative to `directory`; links are reported as `other` and never
// followed. Stops when `visit` returns false. False when a directory cannot be
// read, the tree is deeper than 32 levels or holds more than 100000 entries,
// or `visit` stopped the walk.
bool walk(int directory, const std::function<bool(const std::string& relativePath, EntryKind kind)>& visit);

}  // namespace tarnel::codesign::code_files
