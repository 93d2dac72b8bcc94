#pragma once

#include <optional>
#include <string>

// The guard of everything that changes interfaces, routes or packet filters on
// this host (the stand-ins and the route tool): such changes are made only in
// a network namespace other than the machine's own, which is the namespace of
// process 1.
namespace tarnel::NetworkIsolation {

// The kernel's name of the calling thread's network namespace, such as
// "net:[4026531833]"; nothing when it cannot be read.
[[nodiscard]] std::optional<std::string> currentNamespace();

// True when the calling thread's network namespace can be compared with
// process 1's and differs from it. False when they are the same, and also when
// they cannot be compared: a guard that cannot tell must refuse. Compares the
// namespace links, or, where process 1's link is out of reach (a container
// whose process 1 belongs to the host), each namespace's own entry under
// /proc/<pid>/net.
[[nodiscard]] bool inSeparateNamespace();

}  // namespace tarnel::NetworkIsolation
