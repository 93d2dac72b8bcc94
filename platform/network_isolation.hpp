#pragma once

#include <optional>
#include <string>

// The guard of everything that changes interfaces, routes or packet filters on
// this host (the stand-ins and the route tool): such changes are made only in
// a network namespace other than the machine's own, which is the namespace of
// process 1. This is the one such check; tools and stand-ins link
// tarnel_platform to use it.
namespace tarnel::NetworkIsolation {

// The kernel's name of the calling thread's network namespace, such as
// "net:[4026531833]"; nothing when it cannot be read.
[[nodiscard]] std::optional<std::string> currentNamespace();

// True when the calling thread's network namespace can be compared with
// process 1's and differs from it. False when they are the same, and also when
// they cannot be compared: a guard that cannot tell must refuse. Compares the
// namespaces themselves, or, where process 1's namespace is out of reach (a
// container whose process 1 belongs to the host), each namespace's own entry
// under /proc/<pid>/net. A name under /run/netns counts for nothing: the
// machine's own namespace may have one too.
[[nodiscard]] bool inSeparateNamespace() noexcept;

}  // namespace tarnel::NetworkIsolation
