#include "common/base/files.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/base/error.hpp"
#include "common/base/unique_fd.hpp"
#include "common/base/uuid.hpp"

namespace tarnel::files {

namespace {

[[noreturn]] void fail(const char* operation, const std::filesystem::path& path) {
    // Taken before the message is built: its allocations may change errno.
    const int error = errno;
    throw SystemError(std::string(operation) + " " + path.string(), error);
}

void writeAll(int fd, std::string_view contents, const std::filesystem::path& path) {
    while (!contents.empty()) {
        const ssize_t written = ::write(fd, contents.data(), contents.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            fail("write", path);
        }
        contents.remove_prefix(static_cast<std::size_t>(written));
    }
}

std::string readAll(int fd, std::size_t maximumSize, const std::filesystem::path& path) {
    std::string contents;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) continue;
            fail("read", path);
        }
        if (count == 0) break;
        if (contents.size() + static_cast<std::size_t>(count) > maximumSize) {
            errno = EFBIG;
            fail("read", path);
        }
        contents.append(buffer, static_cast<std::size_t>(count));
    }
    return contents;
}

bool isPrivateToRoot(const struct stat& status) { return status.st_uid == 0 && (status.st_mode & 077) == 0; }

}  // namespace

void syncDirectory(const std::filesystem::path& directory) {
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0) fail("fsync", directory);
}

void writeAtomically(const std::filesystem::path& path, std::string_view contents, mode_t mode) {
    const auto directory = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    const auto temporary = directory / ("." + path.filename().string() + ".tmp-" + Uuid::random().text());
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
    if (fd.get() < 0) fail("create", temporary);
    try {
        // The umask may have narrowed the mode; set it exactly.
        if (::fchmod(fd.get(), mode) != 0) fail("chmod", temporary);
        writeAll(fd.get(), contents, temporary);
        if (::fsync(fd.get()) != 0) fail("fsync", temporary);
        if (::close(fd.release()) != 0) fail("close", temporary);
        if (::rename(temporary.c_str(), path.c_str()) != 0) fail("rename", path);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    syncDirectory(directory);
}

void ensurePrivateDirectory(const std::filesystem::path& path) {
    if (path.has_parent_path() && path.parent_path() != path) {
        struct stat parent {};
        if (::stat(path.parent_path().c_str(), &parent) != 0) {
            ensurePrivateDirectory(path.parent_path());
        }
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) fail("mkdir", path);
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) fail("lstat", path);
    if (!S_ISDIR(status.st_mode)) {
        errno = ENOTDIR;
        fail("mkdir", path);
    }
    if ((status.st_mode & 07777) != 0700 && ::chmod(path.c_str(), 0700) != 0) fail("chmod", path);
}

std::optional<std::string> readIfExists(const std::filesystem::path& path, std::size_t maximumSize) {
    // O_NONBLOCK: opening a FIFO put in a file's place must not hang the reader;
    // it is refused below as not a regular file.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        if (errno == ENOENT) return std::nullopt;
        fail("open", path);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) fail("stat", path);
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        fail("read", path);
    }
    return readAll(fd.get(), maximumSize, path);
}

void removeIfExists(const std::filesystem::path& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail("remove", path);
}

bool entryExists(const std::filesystem::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 || errno != ENOENT;
}

void copyToNewFile(const std::filesystem::path& source, const std::filesystem::path& destination, mode_t mode) {
    // O_NONBLOCK: a FIFO put in the source's place must not hang the copy; it
    // is refused below as not a regular file.
    UniqueFd input(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!input) fail("open", source);
    struct stat status {};
    if (::fstat(input.get(), &status) != 0) fail("stat", source);
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        fail("copy", source);
    }
    UniqueFd output(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
    if (!output) fail("create", destination);
    try {
        // The umask may have narrowed the mode; set it exactly.
        if (::fchmod(output.get(), mode) != 0) fail("chmod", destination);
        std::string buffer(1 << 20, '\0');
        for (;;) {
            const ssize_t count = ::read(input.get(), buffer.data(), buffer.size());
            if (count < 0) {
                if (errno == EINTR) continue;
                fail("read", source);
            }
            if (count == 0) break;
            writeAll(output.get(), std::string_view(buffer.data(), static_cast<std::size_t>(count)), destination);
        }
        if (::fsync(output.get()) != 0) fail("fsync", destination);
        if (::close(output.release()) != 0) fail("close", destination);
    } catch (...) {
        ::unlink(destination.c_str());
        throw;
    }
}

void renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) fail("rename", to);
}

RootPrivateDirectory inspectRootPrivateDirectory(const std::filesystem::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return errno == ENOENT ? RootPrivateDirectory::missing : RootPrivateDirectory::unreadable;
    }
    return S_ISDIR(status.st_mode) && isPrivateToRoot(status) ? RootPrivateDirectory::safe
                                                                : RootPrivateDirectory::unsafe;
}

namespace detail {

RootPrivateDirectory prepareRootPrivateDirectory(const std::filesystem::path& path,
                                                 RootPrivateDirectoryOptions options) {
    RootPrivateDirectory state = inspectRootPrivateDirectory(path);
    if (state == RootPrivateDirectory::missing && options.createWhenMissing) {
        ensurePrivateDirectory(path);
        // Whatever now stands there is judged like an existing entry.
        state = inspectRootPrivateDirectory(path);
    } else if (state == RootPrivateDirectory::safe && options.tighten) {
        // The mode is set on the directory that is judged here: opened without
        // following a link, and checked again through the same descriptor.
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat opened {};
        if (!fd || ::fstat(fd.get(), &opened) != 0 || !isPrivateToRoot(opened)) return RootPrivateDirectory::unsafe;
        if ((opened.st_mode & 07777) != 0700 && ::fchmod(fd.get(), 0700) != 0) fail("chmod", path);
    }
    return state;
}

}  // namespace detail

std::optional<std::string> readRootPrivateFile(const std::filesystem::path& path, std::size_t maximumSize) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || !isPrivateToRoot(status)) {
        return std::nullopt;
    }
    try {
        return readAll(fd.get(), maximumSize, path);
    } catch (const SystemError&) {
        return std::nullopt;
    }
}

}  // namespace tarnel::files
