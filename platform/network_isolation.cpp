#include "platform/network_isolation.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <utility>

namespace tarnel::NetworkIsolation {

namespace {

// The device and inode of a file that names one namespace: a namespace link
// under /proc/<pid>/ns (followed to the namespace itself), or
// /proc/<pid>/net/dev, which is that namespace's own entry with an inode
// number of its own, and whose reading needs no access to the process itself.
std::optional<std::pair<dev_t, ino_t>> identity(const char* path) noexcept {
    struct stat status {};
    if (::stat(path, &status) != 0) return std::nullopt;
    return std::pair(status.st_dev, status.st_ino);
}

}  // namespace

// "thread-self", not "self": a thread may have entered another namespace than
// the process's main thread (the tests run code that way).
std::optional<std::string> currentNamespace() {
    std::array<char, 128> buffer{};
    const ssize_t length = ::readlink("/proc/thread-self/ns/net", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return std::nullopt;
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

bool inSeparateNamespace() noexcept {
    // Process 1's namespace link cannot be followed where process 1 is out of
    // this process's reach (a container whose process 1 belongs to its host);
    // the per-namespace entries of /proc/<pid>/net then tell the same.
    const auto own = identity("/proc/thread-self/ns/net");
    const auto machine = identity("/proc/1/ns/net");
    if (own && machine) return *own != *machine;
    const auto ownEntry = identity("/proc/thread-self/net/dev");
    const auto machineEntry = identity("/proc/1/net/dev");
    return ownEntry && machineEntry && *ownEntry != *machineEntry;
}

}  // namespace tarnel::NetworkIsolation
