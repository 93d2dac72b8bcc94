#include "common/network_namespace_check.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace tarnel {

namespace {

bool sameNamespace(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool isNamedByIproute(const struct stat& own) {
    DIR* directory = ::opendir("/run/netns");
    if (directory == nullptr) return false;
    bool found = false;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat named {};
        if (::stat(("/run/netns/" + name).c_str(), &named) == 0 && sameNamespace(named, own)) {
            found = true;
            break;
        }
    }
    ::closedir(directory);
    return found;
}

}  // namespace

bool runsOutsideHostNetworkNamespace() noexcept {
    try {
        struct stat own {};
        if (::stat("/proc/thread-self/ns/net", &own) != 0) return false;
        struct stat host {};
        if (::stat("/proc/1/ns/net", &host) == 0) return !sameNamespace(own, host);
        return (errno == EACCES || errno == EPERM) && isNamedByIproute(own);
    } catch (...) {
        return false;
    }
}

}  // namespace tarnel
