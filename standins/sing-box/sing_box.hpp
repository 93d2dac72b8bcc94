#pragma once

#include <string>
#include <string_view>
#include <vector>

// The stand-in for the sing-box runtime, which this machine cannot run: it
// takes the runtime's command line and configuration and does, for real and
// only where it is safe, what the system relies on:
// - `run -c FILE`, nothing else (a usage line and exit 2 otherwise);
// - one line on standard output and one on standard error at start;
// - the configuration read with the strict JSON reader (exit 1 with the
//   reader's message when it is not valid);
// - a "tun" inbound: a real TUN interface "utunN" with the configured
//   addresses, up until the process ends; refused (exit 1) in the machine's
//   own network namespace, since it changes the machine's interfaces;
// - a "mixed" inbound: a real HTTP and SOCKS5 proxy that connects directly to
//   the targets its clients name (or where TARNEL_STANDIN_CONNECT_TO sends a
//   named host, proxy_protocol.hpp), loopback ones only unless it runs in a
//   namespace of a test's own;
// - SIGTERM or SIGINT: everything is closed and the exit status is 0;
// - faults chosen through TARNEL_STANDIN_FAULT (faults.hpp).
// It never sends traffic anywhere but loopback or the test's own namespaces,
// and changes no route, DNS or packet-filter setting.
namespace tarnel::standin {

inline constexpr int usageExitStatus = 2;
inline constexpr int failureExitStatus = 1;

// Runs the stand-in with the arguments after argument 0 and the texts of the
// fault and connect-to variables (nullptr when one is not set); gives the exit
// status. Call it first in main, before any thread starts: it blocks SIGTERM
// and SIGINT to take them itself.
int runSingBox(const std::vector<std::string>& arguments, const char* faultVariableText,
               const char* connectToVariableText);

}  // namespace tarnel::standin
