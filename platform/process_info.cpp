#include "platform/process_info.hpp"

#include <fcntl.h>
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

// One numeric field of /proc/<pid>/stat, counted as proc(5) counts them
// (4 is the parent's identifier, 22 the start time in clock ticks since boot).
std::optional<std::uint64_t> readStatField(int directory, int wanted) {
    UniqueFd file(::openat(directory, "stat", O_RDONLY | O_CLOEXEC));
    if (!file) {
        return std::nullopt;
    }
    std::string text;
    std::array<char, 1024> chunk{};
    for (;;) {
        const ssize_t count = ::read(file.get(), chunk.data(), chunk.size());
        if (count < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (count == 0) break;
        text.append(chunk.data(), static_cast<std::size_t>(count));
        if (text.size() > 64 * 1024) return std::nullopt;
    }
    // The command name in parentheses may hold spaces and parentheses; the
    // fields after the last ')' start with the state (field 3).
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    int field = 2;
    std::size_t position = close + 1;
    while (position < text.size()) {
        while (position < text.size() && text[position] == ' ') ++position;
        const std::size_t end = text.find_first_of(" \n", position);
        const std::size_t stop = end == std::string::npos ? text.size() : end;
        if (stop == position) break;
        ++field;
        if (field == wanted) {
            std::uint64_t value = 0;
            const auto [next, error] = std::from_chars(text.data() + position, text.data() + stop, value);
            if (error != std::errc{} || next != text.data() + stop) return std::nullopt;
            return value;
        }
        position = stop;
    }
    return std::nullopt;
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

bool ProcessHandle::hasExited() const { return pidfd::hasExited(pidfd_.get()); }

bool ProcessHandle::signal(int signalNumber) const {
    return !hasExited() && pidfd::sendSignal(pidfd_.get(), signalNumber);
}

bool ProcessHandle::waitForExit(double seconds, const Clock& clock) const {
    return pidfd::waitForExit(pidfd_.get(), seconds, clock);
}

}  // namespace tarnel
