#include "platform/network_isolation.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <array>

namespace tarnel::NetworkIsolation {

namespace {

std::optional<std::string> linkText(const char* link) {
    std::array<char, 128> buffer{};
    const ssize_t length = ::readlink(link, buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return std::nullopt;
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

// The device and inode of a file that each network namespace has a copy of:
// /proc/<pid>/net/dev is that namespace's own entry, with an inode number of
// its own, and reading it needs no access to the process itself.
std::optional<std::pair<dev_t, ino_t>> namespaceEntry(const char* path) {
    struct stat status {};
    if (::stat(path, &status) != 0) return std::nullopt;
    return std::pair(status.st_dev, status.st_ino);
}

}  // namespace

// "thread-self", not "self": a thread may have entered another namespace than
// the process's main thread (the tests run code that way).
std::optional<std::string> currentNamespace() { return linkText("/proc/thread-self/ns/net"); }

bool inSeparateNamespace() {
    // The namespace links name the namespaces themselves. Process 1's link
    // cannot be read where process 1 is out of this process's reach (a
    // container whose process 1 belongs to its host); the per-namespace
    // entries of /proc/<pid>/net then tell the same.
    const auto own = currentNamespace();
    const auto machine = linkText("/proc/1/ns/net");
    if (own && machine) return *own != *machine;
    const auto ownEntry = namespaceEntry("/proc/thread-self/net/dev");
    const auto machineEntry = namespaceEntry("/proc/1/net/dev");
    return ownEntry && machineEntry && *ownEntry != *machineEntry;
}

}  // namespace tarnel::NetworkIsolation
