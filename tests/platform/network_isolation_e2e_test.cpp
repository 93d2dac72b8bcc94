#include "platform/network_isolation.hpp"

#include <sched.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <exception>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "common/base/error.hpp"
#include "tests/common/process_test_support.hpp"
#include "tests/support/network_namespace.hpp"

namespace tarnel {
namespace {

using NetworkIsolationE2E = testing::NamespaceTest;

// Whether this process shares process 1's network namespace, as coreutils'
// stat tells from each namespace's own /proc/<pid>/net/dev entry.
bool sharesProcessOnesNamespace() {
    const auto result = BoundedCommandRunner::run(
        testing::shell("stat -L -c '%d %i' /proc/1/net/dev /proc/$$/net/dev"), 4096, testing::withinSeconds(10));
    const auto lineBreak = result.output.find('\n');
    return result.terminationStatus == 0 && lineBreak != std::string::npos &&
           result.output.substr(0, lineBreak + 1) == result.output.substr(lineBreak + 1);
}

// What the calling thread learns of its namespace.
struct Answer {
    bool separate = false;
    std::optional<std::string> name;
};

Answer ask() { return {NetworkIsolation::inSeparateNamespace(), NetworkIsolation::currentNamespace()}; }

// Asks on a thread that has unshared a fresh network namespace, one that no
// name under /run/netns points at; the namespace goes with the thread.
Answer askInUnnamedNamespace() {
    Answer answer;
    std::exception_ptr failure;
    std::thread([&] {
        try {
            if (::unshare(CLONE_NEWNET) != 0) throw SystemError("unshare network namespace", errno);
            answer = ask();
        } catch (...) {
            failure = std::current_exception();
        }
    }).join();
    if (failure) std::rethrow_exception(failure);
    return answer;
}

// Each thread is judged by its own namespace, not by the process's main
// thread, and a namespace counts whether or not iproute2 named it.
TEST_F(NetworkIsolationE2E, TellsEveryOtherNamespaceFromTheMachineOne) {
    const testing::NetworkNamespace named;
    const struct {
        const char* situation;
        Answer answer;
        bool separate;
    } cases[] = {
        {"this thread, in the process's namespace", ask(), !sharesProcessOnesNamespace()},
        {"a thread in a namespace that ip netns made and named", named.inside(ask), true},
        {"a thread in a fresh namespace without a name", askInUnnamedNamespace(), true},
    };
    std::set<std::string> names;
    for (const auto& [situation, answer, separate] : cases) {
        EXPECT_EQ(answer.separate, separate) << situation;
        ASSERT_TRUE(answer.name) << situation;
        EXPECT_TRUE(answer.name->starts_with("net:[")) << situation << ": " << *answer.name;
        names.insert(*answer.name);
    }
    EXPECT_EQ(names.size(), std::size(cases)) << "each case runs in a namespace of its own";
}

// A process that gave up root (the stand-in runtime the application starts
// runs as 65534) cannot follow process 1's namespace link; the guard still
// tells the test's namespace from the machine's, and refuses in the latter.
TEST_F(NetworkIsolationE2E, TellsTheNamespacesApartForAProcessThatGaveUpRoot) {
    const testing::NetworkNamespace named;
    const auto probe = [](const std::function<BoundedCommandResult(const BoundedCommandInvocation&)>& run) {
        const BoundedCommandResult result = run(BoundedCommandInvocation{TARNEL_NETWORK_ISOLATION_PROBE, {"65534"}});
        return std::to_string(result.terminationStatus) + " " + result.output;
    };
    const std::string machine = probe([](const BoundedCommandInvocation& invocation) {
        return BoundedCommandRunner::run(invocation, 4096, testing::withinSeconds(10));
    });
    const std::string inNamespace =
        probe([&](const BoundedCommandInvocation& invocation) { return named.run(invocation); });
    EXPECT_EQ(machine, sharesProcessOnesNamespace() ? "0 machine\n" : "0 separate\n");
    EXPECT_EQ(inNamespace, "0 separate\n");
}

}  // namespace
}  // namespace tarnel
