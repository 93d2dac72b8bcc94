#pragma once

#include <memory>

#include "common/contract/privileged_helper_protocol.hpp"
#include "helper/service/privileged_helper_service.hpp"
#include "platform/ipc/interface.hpp"
#include "platform/ipc/server.hpp"

// The helper's side of its protocol on the IPC channel (the names both sides
// agree on are in common/contract/privileged_helper_protocol.hpp): the kinds
// of the operations' arguments, and the handler that serves a connection.
namespace tarnel::PrivilegedHelperProtocol {

// The operations and their arguments. Every argument may be nil, as any
// object argument of the platform's IPC may: a nil text is read as "", a
// nil number as 0 and a nil configuration as empty data, which the
// operations then refuse as they refuse any other bad value.
[[nodiscard]] const ipc::Interface& interface();

// Serves one connection's requests with `service`.
[[nodiscard]] ipc::Handler handler(std::shared_ptr<const PrivilegedHelperService> service);

}  // namespace tarnel::PrivilegedHelperProtocol
