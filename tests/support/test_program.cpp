// A small program that the tests start, sign, copy and replace. Once running
// it prints "ready" and then waits for a signal, at most the number of
// seconds given as its argument (default 60), so that it never outlives a
// test for long.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

int main(int argc, char** argv) {
    const long seconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 60;
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    timespec rest{seconds, 0};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
    return 0;
}
