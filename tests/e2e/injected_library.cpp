// Code that the dynamic loader puts into a program of its own accord: loaded
// with LD_PRELOAD (or LD_AUDIT, as an auditing library), it runs before the
// program's main and, as a sign that it did, creates the file named by
// TARNEL_INJECTED_MARKER.

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace {

__attribute__((constructor)) void injected() {
    const char* marker = std::getenv("TARNEL_INJECTED_MARKER");
    if (marker == nullptr) return;
    const int file = ::open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (file >= 0) ::close(file);
}

}  // namespace

// Makes it an auditing library too: the loader accepts any version it offers.
extern "C" unsigned int la_version(unsigned int version) { return version; }
