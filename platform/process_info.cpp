#include "platform/process_info.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <string_view>
#include <vector>

#include "common/base/utf8.hpp"
#include "common/process/child_process.hpp"

namespace tarnel {

namespace {

constexpr std::size_t kPathBufferSize = 4096;
// More than the kernel lets a program start with (6 MiB of arguments and
// environment together).
constexpr std::size_t kMaximumEnvironmentSize = 8 * 1024 * 1024;

// Linux 6.5; older C library headers do not name it yet.
#ifndef SO_PEERPIDFD
constexpr int SO_PEERPIDFD = 77;
#endif

// Reads what is left of an open file in pieces, handing each to `take`;
// false when a read fails or more than `limit` bytes arrive.
template <typename Take>
bool readPieces(int file, std::size_t limit, Take&& take) {
    std::array<char, 64 * 1024> chunk{};
    std::size_t total = 0;
    for (;;) {
        const ssize_t count = ::read(file, chunk.data(), chunk.size());
        if (count < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (count == 0) return true;
        total += static_cast<std::size_t>(count);
        if (total > limit) return false;
        take(std::string_view(chunk.data(), static_cast<std::size_t>(count)));
    }
}

// Whether two paths name the same namespace (they are links into nsfs).
bool sameNamespace(int directory, const char* inDirectory, const char* ownPath) {
    struct stat theirs {};
    struct stat ours {};
    return ::fstatat(directory, inDirectory, &theirs, 0) == 0 && ::stat(ownPath, &ours) == 0 &&
           theirs.st_dev == ours.st_dev && theirs.st_ino == ours.st_ino;
}

UniqueFd openProcessDirectory(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid);
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::optional<std::string> readExecutablePath(int directory) {
    std::array<char, kPathBufferSize> buffer{};
    const ssize_t length = ::readlinkat(directory, "exe", buffer.data(), buffer.size());
    // A result filling the whole buffer may be cut short: not an identity.
    if (length < 1 || static_cast<std::size_t>(length) >= buffer.size()) {
        return std::nullopt;
    }
    std::string_view path(buffer.data(), static_cast<std::size_t>(length));
    path = path.substr(0, path.find('\0'));
    // The kernel marks the path of an image whose file was removed or renamed
    // over with this suffix. The process still runs from the path it was
    // started as, so that is the path it reports: only when the image has no
    // link left, so a file really named so keeps its name.
    constexpr std::string_view deletedSuffix = " (deleted)";
    if (path.ends_with(deletedSuffix)) {
        struct stat image {};
        if (::fstatat(directory, "exe", &image, 0) == 0 && image.st_nlink == 0) {
            path.remove_suffix(deletedSuffix.size());
        }
    }
    if (path.empty()) {
        return std::nullopt;
    }
    return utf8::decodeReplacingInvalid(path);
}

// Numeric fields of /proc/<pid>/stat, counted as proc(5) counts them (4 is
// the parent's identifier, 22 the start time in clock ticks since boot, 50
// and 51 where the environment lies), in increasing order, read at one time;
// nothing when one is missing or not a number.
template <std::size_t Count>
std::optional<std::array<std::uint64_t, Count>> readStatFields(int directory, const std::array<int, Count>& wanted) {
    UniqueFd file(::openat(directory, "stat", O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!file || !readPieces(file.get(), 64 * 1024, [&](std::string_view piece) { text.append(piece); })) {
        return std::nullopt;
    }
    // The command name in parentheses may hold spaces and parentheses; the
    // fields after the last ')' start with the state (field 3).
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::array<std::uint64_t, Count> values{};
    std::size_t found = 0;
    int field = 2;
    std::size_t position = close + 1;
    while (position < text.size() && found < Count) {
        while (position < text.size() && text[position] == ' ') ++position;
        const std::size_t end = text.find_first_of(" \n", position);
        const std::size_t stop = end == std::string::npos ? text.size() : end;
        if (stop == position) break;
        ++field;
        if (field == wanted[found]) {
            const auto [next, error] = std::from_chars(text.data() + position, text.data() + stop, values[found]);
            if (error != std::errc{} || next != text.data() + stop) return std::nullopt;
            ++found;
        }
        position = stop;
    }
    if (found != Count) return std::nullopt;
    return values;
}

// One numeric field of /proc/<pid>/stat.
std::optional<std::uint64_t> readStatField(int directory, int wanted) {
    const auto fields = readStatFields<1>(directory, {wanted});
    if (!fields) return std::nullopt;
    return (*fields)[0];
}

constexpr int kParentField = 4;
constexpr int kStartTimeField = 22;

// The identity of the process whose /proc directory is open as `directory`.
std::optional<ProcessIdentity> identityAt(int directory) {
    auto path = readExecutablePath(directory);
    if (!path) {
        return std::nullopt;
    }
    const auto ticks = readStatField(directory, kStartTimeField);
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    if (!ticks || ticksPerSecond <= 0) {
        return std::nullopt;
    }
    const auto perSecond = static_cast<std::uint64_t>(ticksPerSecond);
    ProcessIdentity identity;
    identity.executablePath = std::move(*path);
    identity.startSeconds = *ticks / perSecond;
    identity.startMicroseconds = (*ticks % perSecond) * 1'000'000 / perSecond;
    return identity;
}

}  // namespace

namespace ProcessInfo {

std::optional<std::string> executablePath(pid_t pid) {
    if (pid < 1) return std::nullopt;
    const UniqueFd directory = openProcessDirectory(pid);
    if (!directory) return std::nullopt;
    return readExecutablePath(directory.get());
}

std::optional<ProcessIdentity> identity(pid_t pid) {
    if (pid < 2) {
        return std::nullopt;
    }
    const UniqueFd directory = openProcessDirectory(pid);
    if (!directory) {
        return std::nullopt;
    }
    return identityAt(directory.get());
}

std::vector<RunningExecutable> processesRunningFrom(const std::filesystem::path& directory) {
    std::vector<RunningExecutable> found;
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/proc", error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        pid_t pid = 0;
        const auto [next, parsed] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (parsed != std::errc{} || next != name.data() + name.size() || pid < 2) continue;
        // Path, parent, start time and image all through one handle on the
        // process's directory, so that they belong to one process.
        const UniqueFd process = openProcessDirectory(pid);
        if (!process) continue;
        const auto path = readExecutablePath(process.get());
        if (!path || std::filesystem::path(*path).parent_path() != directory) continue;
        auto identity = identityAt(process.get());
        const auto parent = readStatField(process.get(), kParentField);
        struct stat image {};
        if (!identity || !parent || ::fstatat(process.get(), "exe", &image, 0) != 0) continue;
        found.push_back(RunningExecutable{pid, static_cast<pid_t>(*parent), std::move(*identity),
                                          static_cast<std::uint64_t>(image.st_dev),
                                          static_cast<std::uint64_t>(image.st_ino)});
    }
    return found;
}

}  // namespace ProcessInfo

std::optional<ProcessHandle> ProcessHandle::openMatching(pid_t pid, const ProcessIdentity& expected) {
    if (pid < 2) {
        return std::nullopt;
    }
    UniqueFd descriptor = pidfd::open(pid);
    if (!descriptor) {
        return std::nullopt;
    }
    // The pidfd was opened first: if the identity read afterwards matches and
    // the process it names is still alive, the pidfd names that process.
    ProcessHandle handle(pid, std::move(descriptor));
    if (ProcessInfo::identity(pid) != expected || handle.hasExited()) {
        return std::nullopt;
    }
    return handle;
}

std::optional<ProcessHandle> ProcessHandle::ofSocketPeer(int socket) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 || credentials.pid < 1) {
        return std::nullopt;
    }
    int descriptor = -1;
    size = sizeof descriptor;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERPIDFD, &descriptor, &size) == 0) {
        UniqueFd held(descriptor);
        if (::fcntl(held.get(), F_SETFD, FD_CLOEXEC) != 0) return std::nullopt;
        return ProcessHandle(credentials.pid, std::move(held));
    }
    // Only a kernel that does not know the option is given the identifier's
    // process: a peer that has gone is not held at all.
    if (errno != ENOPROTOOPT) return std::nullopt;
    UniqueFd opened = pidfd::open(credentials.pid);
    if (!opened) return std::nullopt;
    return ProcessHandle(credentials.pid, std::move(opened));
}

bool ProcessHandle::hasExited() const { return pidfd::hasExited(pidfd_.get()); }

UniqueFd ProcessHandle::processDirectory() const {
    UniqueFd directory = openProcessDirectory(pid_);
    // Alive after the open: the identifier still named this process when
    // the directory was opened, and the directory stays bound to it.
    if (!directory || hasExited()) return UniqueFd();
    return directory;
}

std::optional<ExecutableFile> ProcessHandle::executable() const {
    const UniqueFd directory = processDirectory();
    struct stat status {};
    if (!directory || ::fstatat(directory.get(), "exe", &status, 0) != 0) return std::nullopt;
    ExecutableFile file;
    file.device = static_cast<std::uint64_t>(status.st_dev);
    file.inode = static_cast<std::uint64_t>(status.st_ino);
    file.changeSeconds = static_cast<std::int64_t>(status.st_ctim.tv_sec);
    file.changeNanoseconds = static_cast<std::int64_t>(status.st_ctim.tv_nsec);
    return file;
}

bool ProcessHandle::sharesNamespacesWithThisProcess() const {
    const UniqueFd directory = processDirectory();
    return directory && sameNamespace(directory.get(), "ns/pid", "/proc/self/ns/pid") &&
           sameNamespace(directory.get(), "ns/user", "/proc/self/ns/user");
}

std::optional<pid_t> ProcessHandle::tracer() const {
    const UniqueFd directory = processDirectory();
    if (!directory) return std::nullopt;
    const UniqueFd file(::openat(directory.get(), "status", O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!file || !readPieces(file.get(), 64 * 1024, [&](std::string_view piece) { text.append(piece); })) {
        return std::nullopt;
    }
    constexpr std::string_view label = "\nTracerPid:";
    const std::size_t found = text.find(label);
    if (found == std::string::npos) return std::nullopt;
    std::size_t start = found + label.size();
    while (start < text.size() && (text[start] == '\t' || text[start] == ' ')) ++start;
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) return std::nullopt;
    pid_t tracer = -1;
    const auto [next, error] = std::from_chars(text.data() + start, text.data() + end, tracer);
    if (error != std::errc{} || next != text.data() + end || tracer < 0) return std::nullopt;
    return tracer;
}

std::optional<std::vector<std::string>> ProcessHandle::initialEnvironmentNames() const {
    const UniqueFd directory = processDirectory();
    if (!directory) return std::nullopt;
    // Where the environment lies in the process's memory. A process in the
    // middle of an exec has a new memory whose environment is not placed yet
    // (0 here), and environ then reads as empty: it cannot be told yet.
    constexpr int kEnvironmentStartField = 50;
    constexpr int kEnvironmentEndField = 51;
    const auto bounds = readStatFields<2>(directory.get(), {kEnvironmentStartField, kEnvironmentEndField});
    if (!bounds || (*bounds)[1] == 0 || (*bounds)[1] < (*bounds)[0]) return std::nullopt;
    const std::uint64_t expected = (*bounds)[1] - (*bounds)[0];
    const UniqueFd file(::openat(directory.get(), "environ", O_RDONLY | O_CLOEXEC));
    if (!file) return std::nullopt;
    // Entries end in a NUL byte; each one's name is what precedes its first "=".
    std::vector<std::string> names;
    std::string name;
    bool inName = true;
    std::uint64_t total = 0;
    const bool read = readPieces(file.get(), kMaximumEnvironmentSize, [&](std::string_view piece) {
        total += piece.size();
        for (const char byte : piece) {
            if (byte == '\0') {
                names.push_back(std::move(name));
                name.clear();
                inName = true;
            } else if (inName && byte == '=') {
                inName = false;
            } else if (inName) {
                name.push_back(byte);
            }
        }
    });
    // All of it, or it changed under the read (an exec began).
    if (!read || total != expected) return std::nullopt;
    // An entry the process cut short of its NUL still names a variable.
    if (!name.empty() || !inName) names.push_back(std::move(name));
    // The environment of a process that ended while it was read is empty.
    if (hasExited()) return std::nullopt;
    return names;
}

bool ProcessHandle::signal(int signalNumber) const {
    return !hasExited() && pidfd::sendSignal(pidfd_.get(), signalNumber);
}

bool ProcessHandle::waitForExit(double seconds, const Clock& clock) const {
    return pidfd::waitForExit(pidfd_.get(), seconds, clock);
}

}  // namespace tarnel
