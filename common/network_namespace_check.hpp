#pragma once

namespace tarnel {

// Whether the calling thread runs in a network namespace other than the
// machine's own, so that changing routes, filters or interfaces cannot touch
// the host. The host's namespace is that of process 1: when it can be read,
// the answer is whether ours differs from it. Where the system refuses to show
// process 1's namespace (a container may, even to root), ours must be one of
// the namespaces that iproute2 made and named under /run/netns. Anything that
// cannot be read answers false.
[[nodiscard]] bool runsOutsideHostNetworkNamespace() noexcept;

}  // namespace tarnel
