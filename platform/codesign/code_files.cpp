#include "platform/codesign/code_files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "platform/codesign/signature_format.hpp"

namespace tarnel::codesign::code_files {

namespace {

constexpr std::size_t kChunkSize = 1 << 20;
constexpr int kMaximumDepth = 32;
constexpr std::size_t kMaximumEntries = 100000;

// Reads exactly `size` bytes at `offset`; false on a short file or an error.
bool readAt(int file, char* buffer, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t count = ::pread(file, buffer, size, static_cast<off_t>(offset));
        if (count < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (count == 0) return false;
        buffer += count;
        size -= static_cast<std::size_t>(count);
        offset += static_cast<std::uint64_t>(count);
    }
    return true;
}

std::optional<std::uint64_t> regularFileSize(int file) {
    struct stat status {};
    if (::fstat(file, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

bool walkLevel(int directory, const std::string& prefix, int depth, std::size_t& entries,
               const std::function<bool(const std::string&, EntryKind)>& visit) {
    if (depth > kMaximumDepth) return false;
    // A description of its own, so the walk never moves another reader's offset.
    UniqueFd own(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!own) return false;
    // Closed on every way out, a visitor's exception included.
    const std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(own.get()), ::closedir);
    if (!stream) return false;
    own.release();
    std::vector<std::string> names;
    errno = 0;
    bool complete = true;
    while (const dirent* entry = ::readdir(stream.get())) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        if (++entries > kMaximumEntries) {
            complete = false;
            break;
        }
        names.emplace_back(name);
    }
    if (errno != 0) complete = false;
    const int streamDirectory = ::dirfd(stream.get());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (!complete) break;
        struct stat status {};
        if (::fstatat(streamDirectory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            complete = false;
            break;
        }
        const std::string path = prefix.empty() ? name : prefix + "/" + name;
        const EntryKind kind = S_ISDIR(status.st_mode)   ? EntryKind::directory
                               : S_ISREG(status.st_mode) ? EntryKind::regularFile
                                                         : EntryKind::other;
        if (!visit(path, kind)) {
            complete = false;
            break;
        }
        if (kind == EntryKind::directory) {
            const UniqueFd child(
                ::openat(streamDirectory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!child || !walkLevel(child.get(), path, depth + 1, entries, visit)) {
                complete = false;
                break;
            }
        }
    }
    return complete;
}

}  // namespace

UniqueFd openBeneath(int directory, std::string_view relativePath, int flags) {
    if (!isContainedRelativePath(relativePath)) {
        errno = EINVAL;
        return UniqueFd();
    }
    UniqueFd current;
    int base = directory;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = relativePath.find('/', start);
        const std::string component(relativePath.substr(start, slash == std::string_view::npos ? slash : slash - start));
        if (slash == std::string_view::npos) {
            return UniqueFd(::openat(base, component.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
        }
        UniqueFd next(::openat(base, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) return UniqueFd();
        current = std::move(next);
        base = current.get();
        start = slash + 1;
    }
}

bool exceedsCodeFileSize(int file) {
    struct stat status {};
    return ::fstat(file, &status) != 0 || status.st_size < 0 ||
           static_cast<std::uint64_t>(status.st_size) > layout::maximumCodeFileSize;
}

std::optional<Sha256Digest> hashFile(int file, std::optional<std::uint64_t> length) {
    const auto size = regularFileSize(file);
    if (!size || *size > layout::maximumCodeFileSize) return std::nullopt;
    const std::uint64_t total = length.value_or(*size);
    if (total > *size) return std::nullopt;
    Sha256Hasher hasher;
    std::string buffer(static_cast<std::size_t>(std::min<std::uint64_t>(total, kChunkSize)), '\0');
    for (std::uint64_t offset = 0; offset < total;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(total - offset, buffer.size()));
        if (!readAt(file, buffer.data(), count, offset)) return std::nullopt;
        hasher.update(std::string_view(buffer.data(), count));
        offset += count;
    }
    return hasher.finish();
}

std::optional<std::string> readFile(int file, std::size_t maximumSize) {
    const auto size = regularFileSize(file);
    if (!size || *size > maximumSize) return std::nullopt;
    std::string bytes(static_cast<std::size_t>(*size), '\0');
    if (!readAt(file, bytes.data(), bytes.size(), 0)) return std::nullopt;
    // A file that grew since fstat is read as it was; one that shrank failed above.
    return bytes;
}

EmbeddedSignature readEmbeddedSignature(int file) {
    EmbeddedSignature result;
    const auto size = regularFileSize(file);
    if (!size) {
        result.status = status::unreadable;
        return result;
    }
    if (*size < layout::trailerFooterSize) return result;  // notSigned
    std::string footer(layout::trailerFooterSize, '\0');
    if (!readAt(file, footer.data(), footer.size(), *size - layout::trailerFooterSize)) {
        result.status = status::unreadable;
        return result;
    }
    const auto length = decodeTrailerFooter(footer);
    if (!length) return result;  // notSigned
    if (*length == 0 || *length > layout::maximumSignatureSize || *length > *size - layout::trailerFooterSize) {
        result.status = status::malformedSignature;
        return result;
    }
    result.signedLength = *size - layout::trailerFooterSize - *length;
    result.signature.assign(static_cast<std::size_t>(*length), '\0');
    if (!readAt(file, result.signature.data(), result.signature.size(), result.signedLength)) {
        result.signature.clear();
        result.status = status::unreadable;
        return result;
    }
    result.status = status::success;
    return result;
}

bool walk(int directory, const std::function<bool(const std::string& relativePath, EntryKind kind)>& visit) {
    std::size_t entries = 0;
    return walkLevel(directory, {}, 0, entries, visit);
}

}  // namespace tarnel::codesign::code_files
