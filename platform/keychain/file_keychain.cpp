#include "platform/keychain/file_keychain.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>

#include "common/base/unique_fd.hpp"
#include "common/base/uuid.hpp"

namespace tarnel {

namespace {

bool isNameCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

bool isName(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text) {
        if (!isNameCharacter(c)) return false;
    }
    return true;
}

// "<service>#<account>"; nothing for a name outside the alphabet, which also
// keeps every item inside the directory ("/" is not in it) and apart from
// the temporary files (which hold a second "#").
std::optional<std::string> itemFileName(const KeychainItem& item) {
    if (!isName(item.service) || !isName(item.account)) return std::nullopt;
    return item.service + "#" + item.account;
}

// An entry the keychain may use: a regular file of the user's own.
bool isOwnFile(const struct stat& status) { return S_ISREG(status.st_mode) && status.st_uid == ::geteuid(); }

// The status of a failed open or stat of an entry, from errno.
KeychainStatus openFailure() {
    if (errno == ENOENT) return keychainItemNotFound;
    // O_NOFOLLOW met a link (ELOOP), or something stands where a directory must.
    if (errno == ELOOP || errno == ENOTDIR) return keychainInvalid;
    return keychainIOError;
}

// Makes the directory and its missing parents, mode 0700 (an existing one is
// fine: it is judged when opened).
bool makeDirectories(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
    if (errno != ENOENT || !path.has_parent_path() || path.parent_path() == path) return false;
    return makeDirectories(path.parent_path()) && (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST);
}

// Opens the keychain directory into `directory`, judged through the opened
// descriptor: a real directory of the user's, set to 0700. A missing one is
// made when `create` is set, else keychainItemNotFound.
KeychainStatus openDirectory(const std::filesystem::path& path, bool create, UniqueFd& directory) {
    for (bool created = false;; created = true) {
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            if (errno != ENOENT || !create) return openFailure();
            if (created || !makeDirectories(path)) return keychainIOError;
            continue;
        }
        struct stat status {};
        if (::fstat(fd.get(), &status) != 0) return keychainIOError;
        if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) return keychainInvalid;
        if ((status.st_mode & 07777) != 0700 && ::fchmod(fd.get(), 0700) != 0) return keychainIOError;
        directory = std::move(fd);
        return keychainSuccess;
    }
}

// Whether the entry `name` of the directory is an item the keychain may
// replace or remove: keychainSuccess, keychainItemNotFound or a refusal.
KeychainStatus inspectItem(int directory, const std::string& name) {
    struct stat status {};
    if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return openFailure();
    return isOwnFile(status) ? keychainSuccess : keychainInvalid;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Writes the item through a new temporary file of mode 0600, then puts it in
// place: over the old item (`replace`), or only where none is
// (keychainDuplicateItem otherwise). On any failure the item is as it was
// and the temporary file is gone.
KeychainStatus writeItem(int directory, const std::string& name, std::string_view data, bool replace) {
    const std::string temporary = "." + name + "#" + Uuid::random().text();
    UniqueFd fd(::openat(directory, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return keychainIOError;
    const KeychainStatus status = [&] {
        // The umask may have narrowed the mode; set it exactly.
        if (::fchmod(fd.get(), 0600) != 0 || !writeAll(fd.get(), data) || ::fsync(fd.get()) != 0 ||
            ::close(fd.release()) != 0) {
            return keychainIOError;
        }
        if (replace) {
            return ::renameat(directory, temporary.c_str(), directory, name.c_str()) == 0 ? keychainSuccess
                                                                                          : keychainIOError;
        }
        // A link fails where an entry exists, on every file system.
        if (::linkat(directory, temporary.c_str(), directory, name.c_str(), 0) != 0) {
            return errno == EEXIST ? keychainDuplicateItem : keychainIOError;
        }
        return keychainSuccess;
    }();
    if (status != keychainSuccess || !replace) ::unlinkat(directory, temporary.c_str(), 0);
    if (status != keychainSuccess) return status;
    return ::fsync(directory) == 0 ? keychainSuccess : keychainIOError;
}

KeychainCopyResult failed(KeychainStatus status) { return {status, std::nullopt}; }

// Runs `operation(directory, name)` with the item's file name and the opened
// keychain directory (made when missing if `create` is set), after checking,
// when `existing` is set, that the item is there and is the user's own file.
// Gives the status of whatever ends it first; a failure that throws (the
// random source, memory) is an I/O failure: the keychain reports statuses,
// never exceptions.
template <typename Operation>
auto onItem(const std::filesystem::path& path, const KeychainItem& item, bool create, bool existing,
            Operation&& operation) -> decltype(operation(0, std::string())) {
    using Result = decltype(operation(0, std::string()));
    const auto fail = [](KeychainStatus status) -> Result {
        if constexpr (std::is_same_v<Result, KeychainCopyResult>) {
            return failed(status);
        } else {
            return status;
        }
    };
    try {
        const std::optional<std::string> name = itemFileName(item);
        if (!name) return fail(keychainParameterError);
        UniqueFd directory;
        if (const KeychainStatus status = openDirectory(path, create, directory); status != keychainSuccess) {
            return fail(status);
        }
        if (existing) {
            if (const KeychainStatus status = inspectItem(directory.get(), *name); status != keychainSuccess) {
                return fail(status);
            }
        }
        return operation(directory.get(), *name);
    } catch (const std::exception&) {
        return fail(keychainIOError);
    }
}

}  // namespace

KeychainCopyResult FileKeychain::copy(const KeychainItem& item) {
    return onItem(directory_, item, false, true, [](int directory, const std::string& name) -> KeychainCopyResult {
        // Judged again through the descriptor: the entry may have changed
        // since. O_NONBLOCK: a FIFO in an item's place must not hang the
        // reader; it is refused as not a regular file.
        UniqueFd fd(::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd) return failed(openFailure());
        struct stat status {};
        if (::fstat(fd.get(), &status) != 0) return failed(keychainIOError);
        if (!isOwnFile(status)) return failed(keychainInvalid);
        if ((status.st_mode & 07777) != 0600 && ::fchmod(fd.get(), 0600) != 0) return failed(keychainIOError);
        std::string data;
        char buffer[65536];
        for (;;) {
            const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
            if (count < 0) {
                if (errno == EINTR) continue;
                return failed(keychainIOError);
            }
            if (count == 0) break;
            if (data.size() + static_cast<std::size_t>(count) > kMaximumItemSize) return failed(keychainIOError);
            data.append(buffer, static_cast<std::size_t>(count));
        }
        return {keychainSuccess, std::move(data)};
    });
}

KeychainStatus FileKeychain::update(const KeychainItem& item, std::string_view data) {
    return onItem(directory_, item, false, true, [&](int directory, const std::string& name) {
        return writeItem(directory, name, data, true);
    });
}

KeychainStatus FileKeychain::add(const KeychainItem& item, std::string_view data,
                                 KeychainAccessibility /*accessibility*/) {
    // Every item of this keychain is readable by its user only, on this
    // machine only, which is what every accessibility asks at least.
    return onItem(directory_, item, true, false, [&](int directory, const std::string& name) {
        return writeItem(directory, name, data, false);
    });
}

KeychainStatus FileKeychain::remove(const KeychainItem& item) {
    return onItem(directory_, item, false, true, [](int directory, const std::string& name) {
        if (::unlinkat(directory, name.c_str(), 0) != 0) return openFailure();
        return ::fsync(directory) == 0 ? keychainSuccess : keychainIOError;
    });
}

}  // namespace tarnel
