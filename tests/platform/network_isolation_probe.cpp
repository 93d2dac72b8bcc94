// Prints what the namespace guard tells a process of another user: gives up
// root for the user and group given as its argument, as the stand-in runtime
// does when the application starts it, then prints "separate" when
// NetworkIsolation::inSeparateNamespace() holds and "machine" otherwise.
//
//   network-isolation-probe UID

#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/network_isolation.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: network-isolation-probe UID\n", stderr);
        return 2;
    }
    const auto user = static_cast<uid_t>(std::stoul(argv[1]));
    if (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0 || ::getuid() != user) {
        std::perror("network-isolation-probe: giving up root");
        return 2;
    }
    std::puts(tarnel::NetworkIsolation::inSeparateNamespace() ? "separate" : "machine");
    return 0;
}
