#pragma once

#include <exception>
#include <filesystem>

#include "app/tunnel/privileged_helper_client.hpp"

namespace tarnel {

// The application's runtime files around a VPN start and a disconnect. The
// configuration files' locations and writers are declared in
// app/tunnel/tunnel_runtime_files.hpp.
namespace TunnelRuntimeFiles {

// Removes the file at `path`, once its bytes have been read or when it is no
// longer needed. A file that is already gone, or that cannot be removed, is
// no failure: nothing is reported. A directory is never removed with its
// contents.
void removeFile(const std::filesystem::path& path) noexcept;

// Asks the helper to disconnect the tunnel (it stops the tunnel and turns
// protection off; no version pre-check) and then removes the configuration
// file at `configuration`. A failed disconnect throws the client's error and
// leaves the file in place.
void disconnectHelperAndRemoveConfiguration(const PrivilegedHelperOperations& helper,
                                            const std::filesystem::path& configuration, double timeout = 8.0);

// The same for the fixed tunnel configuration file, `tunnelConfigurationURL()`.
void disconnectHelperAndRemoveConfiguration(const PrivilegedHelperOperations& helper, double timeout = 8.0);

}  // namespace TunnelRuntimeFiles

namespace TunnelStartupErrors {

// Whether an error of a candidate's configuration or start counts against
// that route (which is then marked unavailable and the next candidate
// tried), rather than ending the whole connection attempt:
//   a cancellation, any TailscaleCompatibilityError: false;
//   PrivilegedHelperClientError: true only for helperRejected whose message
//     does not contain "cancel" in any letter case;
//   any other error: false when its description, in lower case, contains
//     "cancel" or "-128" (the system's user-cancelled code), else true.
[[nodiscard]] bool isCandidateFailure(const std::exception& error);
// The same for whatever was thrown; what is not an exception counts, and
// no failure at all (a null pointer) does not.
[[nodiscard]] bool isCandidateFailure(const std::exception_ptr& failure);

}  // namespace TunnelStartupErrors

}  // namespace tarnel
