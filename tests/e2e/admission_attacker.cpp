// The attacker of the admission end-to-end tests: a process of the user
// "nobody" that tries to have the helper serve a request on a connection that
// a signed application was admitted on.
//
//   tarnel-admission-attacker SCENARIO SOCKET APPLICATION
//   tarnel-admission-attacker trace PROGRAM [ARGUMENT]...
//
// APPLICATION is the main executable of a signed application that prints
// "ready" and waits when started with the argument "30" (the test
// program's); it runs in place of the process that connected, with this
// program's standard output, so its "ready" tells that its exec is over. At
// the end every scenario but "trace" prints one word:
//   refused      the helper closed the connection before its hello
//   closed       it closed the connection after the hello, without a reply
//   reply        a reply arrived
//   timeout      nothing arrived in time
//   unsupported  the scenario cannot be played on this machine
// Scenarios (the request is always "disconnectTunnelWithReply:"):
//   exec-parent-sends       a child connects and execs the application; the
//                           parent sends on the socket it shares with it
//   exec-after-request      a child connects, sends the request and then
//                           execs the application
//   namespace-inherited     in a new user and pid namespace, a child connects
//                           and execs the application; its parent, privileged
//                           in that pid namespace, sends the request with
//                           SCM_CREDENTIALS naming the child
//   namespace-passed        the same, the child having passed its socket to
//                           the parent with SCM_RIGHTS
//   exit-then-reused-pid    a child connects and execs the application; once
//                           admitted it is ended, and a process that was
//                           given its process identifier sends the request
//                           on the socket it inherited (started as root,
//                           which asks the kernel for that identifier at once
//                           where an attacker forks until it comes back)
// "trace" runs PROGRAM as a tracee of this process (ptrace), as a debugger
// or strace -f would, and exits with its status.

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/base/clock.hpp"
#include "platform/ipc/wire.hpp"

namespace {

using namespace tarnel;

constexpr uid_t nobody = 65534;

// The arguments of clone3 (the kernel's struct clone_args, up to set_tid).
struct CloneArguments {
    std::uint64_t flags = 0;
    std::uint64_t pidfd = 0;
    std::uint64_t childTid = 0;
    std::uint64_t parentTid = 0;
    std::uint64_t exitSignal = 0;
    std::uint64_t stack = 0;
    std::uint64_t stackSize = 0;
    std::uint64_t tls = 0;
    std::uint64_t setTid = 0;
    std::uint64_t setTidSize = 0;
};
constexpr double waitSeconds = 30.0;

void say(std::string_view word) {
    const std::string line = std::string(word) + "\n";
    [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, line.data(), line.size());
}

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    ::_exit(2);
}

// Gives up root for nobody and stays dumpable, as a program that nobody
// started is (the change of user would make it not dumpable, and its own
// /proc files root's).
bool becomeNobody() {
    return ::setgroups(0, nullptr) == 0 && ::setgid(nobody) == 0 && ::setuid(nobody) == 0 &&
           ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) == 0;
}

bool connectTo(int socket, const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    return ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

std::string disconnectRequest() { return ipc::encodeRequest({"disconnectTunnelWithReply:", {}}); }

// Sends the request, with SCM_CREDENTIALS naming `forgedPid` when one is
// given; false once the helper has closed the connection.
bool sendRequest(int socket, pid_t forgedPid = 0) {
    const std::string frame = disconnectRequest();
    iovec piece{const_cast<char*>(frame.data()), frame.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
    msghdr message{};
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    if (forgedPid != 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_CREDENTIALS;
        header->cmsg_len = CMSG_LEN(sizeof(ucred));
        const ucred credentials{forgedPid, ::getuid(), ::getgid()};
        std::memcpy(CMSG_DATA(header), &credentials, sizeof credentials);
    }
    const ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    if (sent < 0 && errno != EPIPE && errno != ECONNRESET) fail("sendmsg");
    return sent == static_cast<ssize_t>(frame.size());
}

// Waits for the hello; false when the helper closed the connection first.
bool admitted(int socket) {
    std::string payload;
    const ipc::ReadStatus status =
        ipc::readFrame(socket, payload, ipc::Deadline{SystemClock::shared().uptime() + waitSeconds});
    if (status == ipc::ReadStatus::timedOut) {
        say("timeout");
        ::_exit(1);
    }
    return status == ipc::ReadStatus::frame;
}

// What came back after a request: "reply", "closed" or "timeout".
std::string_view answer(int socket) {
    std::string payload;
    switch (ipc::readFrame(socket, payload, ipc::Deadline{SystemClock::shared().uptime() + waitSeconds})) {
        case ipc::ReadStatus::frame: return "reply";
        case ipc::ReadStatus::timedOut: return "timeout";
        default: return "closed";
    }
}

// Waits until the child has exec'd: the close-on-exec end of `ends` closes.
void awaitExec(int ends[2]) {
    ::close(ends[1]);
    int error = 0;
    if (::read(ends[0], &error, sizeof error) > 0) {
        errno = error;
        fail("the child did not start the application");
    }
    ::close(ends[0]);
}

[[noreturn]] void execApplication(const char* application, int ends[2]) {
    ::execl(application, application, "30", static_cast<char*>(nullptr));
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(ends[1], &error, sizeof error);
    ::_exit(127);
}

void endChild(pid_t child) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

int execScenario(const char* socketPath, const char* application, bool childSendsFirst) {
    if (!becomeNobody()) fail("giving up root");
    // Shared with the child, which connects it.
    const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    int ends[2];
    if (socket < 0 || ::pipe2(ends, O_CLOEXEC) != 0) fail("socket");
    const pid_t child = ::fork();
    if (child < 0) fail("fork");
    if (child == 0) {
        if (!connectTo(socket, socketPath)) fail("connect");
        if (childSendsFirst && !sendRequest(socket)) fail("send");
        execApplication(application, ends);
    }
    awaitExec(ends);
    if (!admitted(socket)) {
        say("refused");
    } else {
        if (!childSendsFirst && !sendRequest(socket)) {
            say("closed");
        } else {
            say(answer(socket));
        }
    }
    endChild(child);
    return 0;
}

bool writeFile(const char* path, std::string_view text) {
    const int file = ::open(path, O_WRONLY | O_CLOEXEC);
    if (file < 0) return false;
    const bool written = ::write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(file);
    return written;
}

// Passes a descriptor over a Unix socket (SCM_RIGHTS).
void passDescriptor(int channel, int descriptor) {
    char byte = 0;
    iovec piece{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &descriptor, sizeof descriptor);
    if (::sendmsg(channel, &message, 0) != 1) fail("sendmsg SCM_RIGHTS");
}

int receiveDescriptor(int channel) {
    char byte = 0;
    iovec piece{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(channel, &message, MSG_CMSG_CLOEXEC) != 1) fail("recvmsg SCM_RIGHTS");
    const cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (header == nullptr || header->cmsg_type != SCM_RIGHTS) fail("no descriptor arrived");
    int descriptor = -1;
    std::memcpy(&descriptor, CMSG_DATA(header), sizeof descriptor);
    return descriptor;
}

int namespaceScenario(const char* socketPath, const char* application, bool passed) {
    if (!becomeNobody()) fail("giving up root");
    if (::unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0) {
        say("unsupported");
        return 0;
    }
    // Root in the new user namespace is nobody outside it.
    if (!writeFile("/proc/self/uid_map", "0 65534 1") || !writeFile("/proc/self/setgroups", "deny") ||
        !writeFile("/proc/self/gid_map", "0 65534 1")) {
        fail("mapping the user namespace");
    }
    // The first child is the new pid namespace's first process; privileged
    // over that namespace, it may name any of its processes as a sender.
    const pid_t parent = ::fork();
    if (parent < 0) fail("fork");
    if (parent > 0) {
        int status = 0;
        ::waitpid(parent, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
    }
    int socket = -1;
    int channel[2] = {-1, -1};
    if (passed) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) fail("socketpair");
    } else {
        socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (socket < 0) fail("socket");
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) fail("pipe2");
    const pid_t child = ::fork();
    if (child < 0) fail("fork");
    if (child == 0) {
        if (passed) {
            const int own = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (own < 0 || !connectTo(own, socketPath)) fail("connect");
            passDescriptor(channel[1], own);
        } else if (!connectTo(socket, socketPath)) {
            fail("connect");
        }
        execApplication(application, ends);
    }
    if (passed) socket = receiveDescriptor(channel[0]);
    awaitExec(ends);
    if (!admitted(socket)) {
        say("refused");
    } else {
        say(sendRequest(socket, child) ? answer(socket) : "closed");
    }
    endChild(child);
    return 0;
}

int reusedPidScenario(const char* socketPath, const char* application) {
    const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    int ends[2];
    if (socket < 0 || ::pipe2(ends, O_CLOEXEC) != 0) fail("socket");
    const pid_t child = ::fork();
    if (child < 0) fail("fork");
    if (child == 0) {
        if (!becomeNobody()) fail("giving up root");
        if (!connectTo(socket, socketPath)) fail("connect");
        execApplication(application, ends);
    }
    awaitExec(ends);
    if (!admitted(socket)) {
        say("refused");
        endChild(child);
        return 0;
    }
    // The admitted process ends, and its identifier is free again.
    endChild(child);
    pid_t wanted = child;
    CloneArguments arguments;
    arguments.exitSignal = SIGCHLD;
    arguments.setTid = reinterpret_cast<std::uintptr_t>(&wanted);
    arguments.setTidSize = 1;
    const long holder = ::syscall(SYS_clone3, &arguments, sizeof arguments);
    if (holder < 0) {
        say("unsupported");
        return 0;
    }
    if (holder == 0) {
        // The new holder of the identifier, as nobody, on the socket it inherited.
        if (!becomeNobody()) ::_exit(2);
        say(sendRequest(socket) ? answer(socket) : "closed");
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(static_cast<pid_t>(holder), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

int trace(char** command) {
    const pid_t child = ::fork();
    if (child < 0) fail("fork");
    if (child == 0) {
        if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) fail("ptrace");
        ::execv(command[0], command);
        fail("execv");
    }
    for (;;) {
        int status = 0;
        if (::waitpid(child, &status, 0) < 0) {
            if (errno == EINTR) continue;
            fail("waitpid");
        }
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        // The stop after the exec is the tracer's own; any other signal goes on.
        const int signal = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
        ::ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void*>(static_cast<std::intptr_t>(signal)));
    }
}

int usage() {
    std::fputs("usage: tarnel-admission-attacker SCENARIO SOCKET APPLICATION\n"
               "       tarnel-admission-attacker trace PROGRAM [ARGUMENT]...\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "trace") == 0) return trace(argv + 2);
    if (argc != 4) return usage();
    const std::string_view scenario = argv[1];
    if (scenario == "exec-parent-sends") return execScenario(argv[2], argv[3], false);
    if (scenario == "exec-after-request") return execScenario(argv[2], argv[3], true);
    if (scenario == "namespace-inherited") return namespaceScenario(argv[2], argv[3], false);
    if (scenario == "namespace-passed") return namespaceScenario(argv[2], argv[3], true);
    if (scenario == "exit-then-reused-pid") return reusedPidScenario(argv[2], argv[3]);
    return usage();
}
