// A small program that the tests start, sign, copy and replace. Once running
// it prints "ready" and then waits for a signal, at most the number of
// seconds given as its argument (default 60), so that it never outlives a
// test for long.
//
// With the argument "--list-descriptors" it prints instead the descriptors
// it was started with, one number a line, and exits: tests check with it
// which descriptors a program started by the code under test inherits.

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

int listDescriptors() {
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) return 1;
    const int own = dirfd(directory);  // the listing's own handle is not inherited
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] == '.') continue;
        if (std::atoi(entry->d_name) == own) continue;
        std::printf("%s\n", entry->d_name);
    }
    closedir(directory);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--list-descriptors") == 0) return listDescriptors();
    const long seconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 60;
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    timespec rest{seconds, 0};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
    return 0;
}
