// What a ProcessHandle tells about the process it holds: the process at the
// other end of a socket, the file it runs (and that an exec changes it), its
// namespaces, its tracer and the environment it started with.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/base/error.hpp"
#include "common/process/child_process.hpp"
#include "platform/process_info.hpp"
#include "tests/common/process_test_support.hpp"
#include "tests/support/code_signing_support.hpp"

namespace tarnel {
namespace {

using testing::TemporaryDirectory;
using ProcessHandleTest = testing::BoundedTest;

double now() { return SystemClock::shared().uptime(); }

// The device and inode of a file, links followed.
std::pair<std::uint64_t, std::uint64_t> fileOf(const char* path) {
    struct stat status {};
    if (::stat(path, &status) != 0) throw SystemError(std::string("stat ") + path, errno);
    return {status.st_dev, status.st_ino};
}

// Waits up to 10 s for `condition`.
template <typename Condition>
bool eventually(Condition&& condition) {
    for (const double end = now() + 10.0; now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        if (condition()) return true;
    }
    return condition();
}

ChildProcess spawn(const std::filesystem::path& program, std::vector<std::string> arguments,
                   std::optional<std::vector<std::string>> environment = std::nullopt) {
    ChildProcess::Options options;
    options.executable = program;
    options.arguments = std::move(arguments);
    options.environment = std::move(environment);
    options.inputRedirect = ChildProcess::Redirect::null();
    options.output = ChildProcess::Redirect::pipe();
    return ChildProcess::spawn(options);
}

// The process that connected, even after it exec'd another program: its
// file changes with the exec, and nothing is read once it has exited.
TEST_F(ProcessHandleTest, ASocketPeerIsTheProcessThatConnectedAndItsFileChangesWithAnExec) {
    TemporaryDirectory directory;
    const std::string path = (directory.path() / "socket").string();
    const UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    int go[2];
    ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Nothing but async-signal-safe calls after a fork of a threaded program.
        const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
        char byte = 0;
        if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::read(go[0], &byte, 1) != 1) {
            ::_exit(1);
        }
        char sleep[] = "sleep";
        char seconds[] = "30";
        char* arguments[] = {sleep, seconds, nullptr};
        ::execv("/bin/sleep", arguments);
        ::_exit(1);
    }
    ::close(go[0]);
    const UniqueFd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    const auto handle = ProcessHandle::ofSocketPeer(accepted.get());
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->pid(), child);
    const auto forked = handle->executable();
    ASSERT_TRUE(forked);
    EXPECT_EQ(std::make_pair(forked->device, forked->inode), fileOf("/proc/self/exe"));
    EXPECT_TRUE(handle->sharesNamespacesWithThisProcess());

    ASSERT_EQ(::write(go[1], "x", 1), 1);
    ::close(go[1]);
    ASSERT_TRUE(eventually([&] { return handle->executable() != forked; }));
    const auto execd = handle->executable();
    ASSERT_TRUE(execd);
    EXPECT_EQ(std::make_pair(execd->device, execd->inode), fileOf("/bin/sleep"));

    ::kill(child, SIGKILL);
    ASSERT_TRUE(handle->waitForExit(10.0));
    // Exited but not reaped: the identifier is still the child's, and
    // nothing is read about it all the same.
    EXPECT_EQ(handle->executable(), std::nullopt);
    EXPECT_EQ(handle->tracer(), std::nullopt);
    EXPECT_EQ(handle->initialEnvironmentNames(), std::nullopt);
    EXPECT_FALSE(handle->sharesNamespacesWithThisProcess());
    ::waitpid(child, nullptr, 0);
}

TEST_F(ProcessHandleTest, TellsTheEnvironmentAProcessStartedWithAndItsTracer) {
    // Running: its exec is over.
    ChildProcess child = testing::startProgram(TARNEL_TEST_PROGRAM, {"30"}, std::vector<std::string>{"A=1", "LD_PRELOAD=", "B=x=y"});
    const auto identity = ProcessInfo::identity(child.pid());
    ASSERT_TRUE(identity);
    const auto handle = ProcessHandle::openMatching(child.pid(), *identity);
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->initialEnvironmentNames(), (std::vector<std::string>{"A", "LD_PRELOAD", "B"}));
    EXPECT_EQ(handle->tracer(), 0);

    // Traced from this thread (PTRACE_SEIZE leaves it running).
    ASSERT_EQ(::ptrace(PTRACE_SEIZE, child.pid(), nullptr, nullptr), 0) << std::strerror(errno);
    EXPECT_EQ(handle->tracer(), static_cast<pid_t>(::gettid()));
    child.stop(0.0, 5.0);
}

// A process of another user namespace is not one of this process's own.
TEST_F(ProcessHandleTest, AProcessInAnotherUserNamespaceIsNoneOfOurs) {
    const auto self = ProcessHandle::openMatching(::getpid(), *ProcessInfo::identity(::getpid()));
    ASSERT_TRUE(self);
    EXPECT_TRUE(self->sharesNamespacesWithThisProcess());

    ChildProcess child = spawn("/usr/bin/unshare", {"--user", "--map-root-user", "/bin/sleep", "30"});
    const auto sleepFile = fileOf("/bin/sleep");
    std::optional<ProcessHandle> handle;
    ASSERT_TRUE(eventually([&] {
        const auto identity = ProcessInfo::identity(child.pid());
        if (!identity) return false;
        handle = ProcessHandle::openMatching(child.pid(), *identity);
        const auto file = handle ? handle->executable() : std::nullopt;
        return file && std::make_pair(file->device, file->inode) == sleepFile;
    }));
    EXPECT_FALSE(handle->sharesNamespacesWithThisProcess());
}

}  // namespace
}  // namespace tarnel
