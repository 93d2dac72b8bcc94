#pragma once

// A subscription signed at test time for the current wall clock: the manifest
// fixtures' generator (tests/fixtures/manifest/generate.py --subscription, see
// the README there) signs a compact manifest of the given nodes with the
// checked-in test root and delegated keys, its windows around now. For tests
// that run the application, which verifies at the real wall time.

#include <stdexcept>
#include <string>

#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {

// The envelope text (one line of JSON) of a subscription described as the
// generator reads it: {"service_class", "nodes": [compact manifest nodes],
// optional "subscription_origins" and "revision"}. Throws std::runtime_error
// with the generator's output when it fails.
inline std::string signedSubscription(const json::Value& description) {
    const TemporaryDirectory scratch;
    files::writeAtomically(scratch / "nodes.json", json::writeCanonical(description), 0600);
    const double end = SystemClock::shared().uptime() + 60.0;
    // -B: the generator's imports leave no byte code in the source tree.
    const BoundedCommandInvocation generator{
        "/usr/bin/python3",
        {"-B", std::string(TARNEL_TEST_FIXTURES) + "/manifest/generate.py", "--subscription",
         (scratch / "nodes.json").string(), "--out", (scratch / "envelope.json").string()}};
    BoundedCommandStreams streams;
    streams.standardInput = "";
    streams.standardErrorToOutput = true;
    const BoundedCommandResult result = BoundedCommandRunner::run(generator, streams, 1 << 16, [end](double uptime) {
        if (uptime >= end) throw std::runtime_error("the subscription generator did not finish within 60 s");
    });
    const auto envelope = files::readIfExists(scratch / "envelope.json");
    if (result.terminationStatus != 0 || !envelope) {
        throw std::runtime_error("the subscription generator failed (" + std::to_string(result.terminationStatus) +
                                 "): " + result.output);
    }
    return *envelope;
}

}  // namespace tarnel::testing
