#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnel::standin {

// Faults of the stand-in runtime, chosen by the environment variable
// TARNEL_STANDIN_FAULT, which the runtime inherits from whoever launches it
// (the configuration cannot carry them: the validator forbids extra keys).
//
// Grammar: faults separated by ",", each at most once, no white space; an
// empty or absent variable means no fault.
//
//   exit=CODE          exit with CODE (0-255) right after the start lines,
//                      before the configuration is read
//   exit=CODE@MS       run normally, then exit with CODE MS milliseconds
//                      after the start (the interfaces go with the process)
//   no-interface       create no TUN interface; keep running
//   interface-delay=MS create the TUN interface MS milliseconds after the start
//   second-interface   create a second TUN interface carrying the same address
//   ignore-sigterm     ignore SIGTERM (and SIGINT); only SIGKILL ends it
//   listen-delay=MS    bind the mixed inbounds MS milliseconds after the
//                      start; until then their ports refuse connections
//   only-server=HOST:PORT
//                      the other faults apply only to a configuration whose
//                      outbound (the one the tunnel's packets go to) has
//                      this numeric server and port (IPv6 in brackets); for
//                      any other they are dropped. "exit=CODE" then exits
//                      right after the configuration was read.
//
// MS is 0 to 3600000. "no-interface" cannot be combined with
// "interface-delay" or "second-interface". Faults about interfaces do nothing
// without a TUN inbound, "listen-delay" nothing without a mixed inbound.
//
// Examples: "exit=3", "exit=1@250,ignore-sigterm", "interface-delay=400",
// "listen-delay=700", "exit=3,only-server=203.0.113.5:7001".
inline constexpr std::string_view faultVariable = "TARNEL_STANDIN_FAULT";

struct Faults {
    std::optional<int> exitCode;
    std::optional<int> exitAfterMilliseconds;  // with exitCode; nothing: at once
    bool noInterface = false;
    int interfaceDelayMilliseconds = 0;
    bool secondInterface = false;
    bool ignoreTermination = false;
    int listenDelayMilliseconds = 0;
    // The server the other faults are meant for, written "address:port" or
    // "[address]:port" (standin::describe).
    std::optional<std::string> onlyServer;

    friend bool operator==(const Faults&, const Faults&) = default;
};

// Parses the variable's text; throws std::invalid_argument naming what is
// wrong.
[[nodiscard]] Faults parseFaults(std::string_view text);

// The faults for a configuration whose outbound server is `server` (none: it
// names none): all of them, unless "only-server" names another server, when
// there are none.
[[nodiscard]] Faults faultsFor(const Faults& faults, const std::optional<std::string>& server);

}  // namespace tarnel::standin
