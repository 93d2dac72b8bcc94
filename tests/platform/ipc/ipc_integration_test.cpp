#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/base/error.hpp"
#include "platform/ipc/client.hpp"
#include "platform/ipc/interface.hpp"
#include "platform/ipc/ipc_error.hpp"
#include "platform/ipc/server.hpp"
#include "platform/ipc/wire.hpp"
#include "platform/process_info.hpp"
#include "tests/common/process_test_support.hpp"

extern char** environ;

namespace tarnel::ipc {
namespace {

using tarnel::testing::TemporaryDirectory;

constexpr std::string_view serviceName = "app.tarnel.direct.helper";

double now() { return SystemClock::shared().uptime(); }
double soon() { return now() + 10.0; }

// The service runs in this process, so it is whoever runs the tests.
const uid_t serviceUser = ::geteuid();

const Interface& testInterface() {
    static const Interface interface({
        {"echo",
         {{"data", Kind::data, true},
          {"emptyData", Kind::data, true},
          {"absentData", Kind::data, true},
          {"text", Kind::text, true},
          {"largest", Kind::integer, true},
          {"smallest", Kind::integer, true},
          {"number", Kind::number, true},
          {"flag", Kind::boolean, true}}},
        {"sleep", {{"seconds", Kind::number, false}, {"label", Kind::text, false}}},
        {"spawn", {}},
        {"fail", {}},
    });
    return interface;
}

const Request flagRequest{"echo", {{"flag", true}}};
const Dictionary flagReply{{"flag", true}};

// The case of the IPCError that `action` throws; nothing when it throws none.
template <typename Action>
std::optional<IPCError::Case> failureCase(Action&& action) {
    try {
        action();
    } catch (const IPCError& error) {
        return error.errorCase();
    }
    return std::nullopt;
}

std::string lengthPrefix(std::uint32_t length) {
    std::string prefix;
    for (int shift = 24; shift >= 0; shift -= 8) prefix += static_cast<char>((length >> shift) & 0xFF);
    return prefix;
}
std::string frameOf(const std::string& payload) {
    return lengthPrefix(static_cast<std::uint32_t>(payload.size())) + payload;
}
// A frame straight from the CBOR writer, past the checks of ours.
std::string rawFrame(const nlohmann::json& document) {
    const auto payload = nlohmann::json::to_cbor(document);
    return frameOf(std::string(payload.begin(), payload.end()));
}

// A connection that speaks bytes, for what the client would never send.
class RawConnection {
public:
    explicit RawConnection(const std::filesystem::path& path)
        : socket_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            throw SystemError("connect", errno);
        }
    }

    void readHello() {
        std::string payload;
        ASSERT_EQ(readFrame(socket_.get(), payload, Deadline{soon()}), ReadStatus::frame);
        decodeHello(payload);
    }
    Dictionary readReply() {
        std::string payload;
        EXPECT_EQ(readFrame(socket_.get(), payload, Deadline{soon()}), ReadStatus::frame);
        return decodeReply(payload);
    }
    void send(const std::string& bytes) { ASSERT_EQ(writeFully(socket_.get(), bytes), WriteStatus::written); }
    [[nodiscard]] int descriptor() const { return socket_.get(); }

    // Every byte that arrives until the service closes the connection.
    std::string readUntilClosed() {
        std::string received;
        const double end = soon();
        while (now() < end) {
            pollfd entry{socket_.get(), POLLIN, 0};
            ::poll(&entry, 1, 50);
            char buffer[4096];
            const ssize_t count = ::recv(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (count > 0) received.append(buffer, static_cast<std::size_t>(count));
            if (count == 0 || (count < 0 && errno == ECONNRESET)) return received;
        }
        throw std::runtime_error("the service kept the connection open");
    }

private:
    UniqueFd socket_;
};

// Starts the test program with posix_spawn and no file actions but its
// standard output, so that only close-on-exec keeps a descriptor of this
// process out of it; gives what it lists.
std::string descriptorsOfAProgramStartedHere() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw SystemError("pipe2", errno);
    UniqueFd reader(ends[0]);
    UniqueFd writer(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writer.get(), STDOUT_FILENO);
    std::string program = TARNEL_TEST_PROGRAM;
    std::string option = "--list-descriptors";
    char* arguments[] = {program.data(), option.data(), nullptr};
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw SystemError("posix_spawn", error);
    writer.reset();
    std::string listing;
    char buffer[256];
    for (ssize_t count; (count = ::read(reader.get(), buffer, sizeof buffer)) != 0;) {
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) break;
        listing.append(buffer, static_cast<std::size_t>(count));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return listing;
}

// A service over a real socket in a temporary directory, with handlers that
// echo, sleep, start a program or fail, and a count of what reached them.
class IPCServiceTest : public tarnel::testing::BoundedTest {
protected:
    // Descriptors this test program was given by whoever started it are no
    // business of the layer under test: they are kept out of the programs
    // started here, before any descriptor of the layer exists.
    static void SetUpTestSuite() {
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            const int fd = std::stoi(entry.path().filename().string());
            if (fd > 2) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }

    IPCServiceTest() {
        server_.bind(path_);
        server_.start([this](const PeerCredentials& peer) { return admit(peer); });
    }

    std::optional<Handler> admit(const PeerCredentials& peer) {
        {
            const std::lock_guard lock(mutex_);
            peers_.push_back(peer);
        }
        if (!admitting_.load()) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::duration<double>(admissionSeconds_.load()));
        // Ends with the connection's handler, which the service drops when
        // the connection has ended.
        std::shared_ptr<void> end(nullptr, [this](void*) {
            const std::lock_guard lock(mutex_);
            ++endedConnections_;
            changed_.notify_all();
        });
        return Handler([this, end](const Request& request) { return handle(request); });
    }

    Dictionary handle(const Request& request) {
        ++handled_;
        if (request.selector == "sleep") {
            std::this_thread::sleep_for(std::chrono::duration<double>(numberOrZero(request.arguments, "seconds")));
            return {{"label", textOrEmpty(request.arguments, "label")}};
        }
        if (request.selector == "spawn") return {{"descriptors", descriptorsOfAProgramStartedHere()}};
        if (request.selector == "fail") throw std::runtime_error("the handler failed");
        return request.arguments;
    }

    void waitForEndedConnections(int count) {
        std::unique_lock lock(mutex_);
        ASSERT_TRUE(changed_.wait_for(lock, std::chrono::seconds(10), [&] { return endedConnections_ >= count; }));
    }

    TemporaryDirectory directory_;
    const std::filesystem::path path_ = socketPath(directory_.path(), serviceName);
    std::atomic<bool> admitting_{true};
    std::atomic<double> admissionSeconds_{0.0};
    std::atomic<int> handled_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<PeerCredentials> peers_;
    int endedConnections_ = 0;
    Server server_{testInterface()};  // last: stopped before what its handlers use goes
};

TEST_F(IPCServiceTest, EveryValueKindTravelsBothWays) {
    const Dictionary arguments{
        {"data", Data(std::string("\0\x01\xFFpayload", 10))},
        {"emptyData", Data()},
        {"text", std::string("Wi-Fi \xC2\xB7 \xD0\x81")},
        {"largest", std::numeric_limits<std::int64_t>::max()},
        {"smallest", std::numeric_limits<std::int64_t>::min()},
        {"number", 1234.000000001},
        {"flag", false},
    };
    const Dictionary reply = call(path_, {"echo", arguments}, soon(), serviceUser);
    EXPECT_EQ(reply, arguments);
    ASSERT_NE(find<double>(reply, "number"), nullptr);
    EXPECT_TRUE(*find<double>(reply, "number") == 1234.000000001);
    // Nil data and empty data stay apart.
    EXPECT_FALSE(reply.contains("absentData"));
    ASSERT_NE(find<Data>(reply, "emptyData"), nullptr);
    EXPECT_EQ(find<Data>(reply, "emptyData")->bytes, "");
}

TEST_F(IPCServiceTest, AdmissionSeesThePeersCredentialsAndProcess) {
    EXPECT_EQ(call(path_, flagRequest, soon(), serviceUser), flagReply);
    const std::lock_guard lock(mutex_);
    ASSERT_EQ(peers_.size(), 1u);
    EXPECT_EQ(peers_[0].processIdentifier, ::getpid());
    EXPECT_EQ(peers_[0].effectiveUserIdentifier, ::geteuid());
    EXPECT_EQ(peers_[0].effectiveGroupIdentifier, ::getegid());
    ASSERT_TRUE(peers_[0].process);
    EXPECT_EQ(peers_[0].process, ProcessInfo::identity(::getpid()));
    ASSERT_TRUE(peers_[0].handle);
    EXPECT_EQ(peers_[0].handle->pid(), ::getpid());
}

TEST_F(IPCServiceTest, ARefusedConnectionGetsNoByte) {
    admitting_ = false;
    RawConnection refused(path_);
    EXPECT_EQ(refused.readUntilClosed(), "");
    EXPECT_EQ(failureCase([&] { (void)call(path_, flagRequest, soon(), serviceUser); }), IPCError::Case::refused);
    EXPECT_EQ(handled_, 0);
    admitting_ = true;
    EXPECT_EQ(call(path_, flagRequest, soon(), serviceUser), flagReply);
}

TEST_F(IPCServiceTest, AFaultyRequestClosesItsConnectionOnly) {
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        // Only the length is sent: it is refused before anything is read or
        // allocated, 4 GiB included.
        {"frame over the cap", lengthPrefix(static_cast<std::uint32_t>(maximumFramePayload + 1))},
        {"frame of 4 GiB", lengthPrefix(0xFFFFFFFF)},
        {"text where data is expected", encodeRequest({"echo", {{"data", std::string("x")}}})},
        {"text that is not UTF-8",
         rawFrame({{"kind", "request"}, {"selector", "echo"}, {"arguments", {{"text", "\xC3\x28"}}}})},
        {"unknown selector", encodeRequest({"unknown", {}})},
        {"bytes that are not CBOR", frameOf("\xFF\x00\x13")},
    };
    // Open before the faults and used after each of them.
    auto other = ClientConnection::open(path_, soon(), serviceUser);
    for (const auto& item : cases) {
        RawConnection faulty(path_);
        faulty.readHello();
        faulty.send(item.bytes);
        EXPECT_EQ(faulty.readUntilClosed(), "") << item.name;
        EXPECT_EQ(other.call(flagRequest, soon()), flagReply) << item.name;
    }
    // No faulty request reached a handler.
    EXPECT_EQ(handled_, static_cast<int>(std::size(cases)));
}

// Only the admitted process is served on its connection: a request that
// another process writes on it (here a child that inherited the socket)
// closes the connection without a reply, whatever the caller sent before.
TEST_F(IPCServiceTest, OnlyTheAdmittedProcessIsServedOnItsConnection) {
    RawConnection connection(path_);
    connection.readHello();
    const std::string request = encodeRequest(flagRequest);
    connection.send(request);
    EXPECT_EQ(connection.readReply(), flagReply);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Nothing but async-signal-safe calls after a fork of a threaded program.
        const ssize_t sent = ::send(connection.descriptor(), request.data(), request.size(), MSG_NOSIGNAL);
        ::_exit(sent == static_cast<ssize_t>(request.size()) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(connection.readUntilClosed(), "");
    EXPECT_EQ(handled_, 1);
}

// A request written before the hello was written before the admission had
// looked at the process (by the image it ran before an exec, say): the
// connection is closed without a byte and nothing is served.
TEST_F(IPCServiceTest, BytesSentBeforeTheHelloRefuseTheConnection) {
    admissionSeconds_ = 0.3;
    RawConnection early(path_);
    early.send(encodeRequest(flagRequest));
    EXPECT_EQ(early.readUntilClosed(), "");
    EXPECT_EQ(handled_, 0);
}

// A connection is closed as soon as its admitted process exits, so that no
// process that later receives its identifier speaks on it.
TEST_F(IPCServiceTest, AConnectionEndsWithItsProcess) {
    const UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    int connected[2];
    int leave[2];
    ASSERT_EQ(::pipe2(connected, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(leave, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Nothing but async-signal-safe calls after a fork of a threaded
        // program. It connects the socket it shares with this process, and
        // exits when told to (or when this process has gone).
        ::close(connected[0]);
        ::close(leave[1]);
        char byte = 0;
        if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::write(connected[1], "x", 1) != 1) {
            ::_exit(1);
        }
        ::_exit(::read(leave[0], &byte, 1) == 1 ? 0 : 1);
    }
    ::close(connected[1]);
    ::close(leave[0]);
    const UniqueFd told(leave[1]);
    char byte = 0;
    const bool childConnected = ::read(connected[0], &byte, 1) == 1;
    ::close(connected[0]);
    ASSERT_TRUE(childConnected);
    std::string payload;
    ASSERT_EQ(readFrame(socket.get(), payload, Deadline{soon()}), ReadStatus::frame);
    ASSERT_EQ(::write(told.get(), "x", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The child is gone and reaped; the connection it left behind is closed.
    pollfd entry{socket.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&entry, 1, 10000), 1);
    EXPECT_EQ(::recv(socket.get(), &byte, 1, MSG_DONTWAIT), 0);
    waitForEndedConnections(1);
}

// A process in another user namespace is closed without a byte before the
// admission is asked: it could name any process of a pid namespace of its
// own as a request's sender.
TEST_F(IPCServiceTest, APeerInAnotherNamespaceIsClosedBeforeItsAdmission) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Single-threaded after the fork, so a user namespace of its own may be made.
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::unshare(CLONE_NEWUSER) != 0) ::_exit(3);
        if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ::_exit(1);
        pollfd entry{socket, POLLIN, 0};
        char byte = 0;
        // Closed without a byte: 0. A hello, or nothing for 10 s: 1.
        ::_exit(::poll(&entry, 1, 10000) == 1 && ::recv(socket, &byte, 1, 0) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "no user namespaces can be made here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::lock_guard lock(mutex_);
    EXPECT_TRUE(peers_.empty());
}

// Admission runs on each connection's own thread: a caller whose admission
// takes long holds up no other caller.
TEST_F(IPCServiceTest, ASlowAdmissionDelaysNoOtherCaller) {
    admissionSeconds_ = 4.0;
    RawConnection slow(path_);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    admissionSeconds_ = 0.0;
    const double began = now();
    auto quick = ClientConnection::open(path_, soon(), serviceUser);
    EXPECT_EQ(quick.call(flagRequest, soon()), flagReply);
    EXPECT_LT(now() - began, 3.0);
    slow.readHello();
}

// One user holds at most maximumConnectionsPerUser connections; one more is
// turned away without a byte, and a place that frees up is taken again.
TEST_F(IPCServiceTest, OneUserCannotHoldEveryConnection) {
    std::vector<std::unique_ptr<RawConnection>> held;
    for (std::size_t index = 0; index < Server::maximumConnectionsPerUser; ++index) {
        held.push_back(std::make_unique<RawConnection>(path_));
        held.back()->readHello();
    }
    RawConnection oneMore(path_);
    EXPECT_EQ(oneMore.readUntilClosed(), "");
    held.pop_back();
    waitForEndedConnections(1);
    // The ended connection's place is free once its thread has wound up.
    std::optional<IPCError::Case> failure = IPCError::Case::refused;
    for (const double end = soon(); failure == IPCError::Case::refused && now() < end;) {
        failure = failureCase([&] { EXPECT_EQ(call(path_, flagRequest, soon(), serviceUser), flagReply); });
        if (failure) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(failure, std::nullopt);
}

TEST_F(IPCServiceTest, RequestsOnOneConnectionAreAnsweredInOrder) {
    RawConnection connection(path_);
    connection.readHello();
    // All at once; the first takes longest.
    connection.send(encodeRequest({"sleep", {{"seconds", 0.3}, {"label", std::string("first")}}}) +
                    encodeRequest({"sleep", {{"seconds", 0.0}, {"label", std::string("second")}}}) +
                    encodeRequest({"echo", {{"text", std::string("third")}}}));
    EXPECT_EQ(connection.readReply(), (Dictionary{{"label", std::string("first")}}));
    EXPECT_EQ(connection.readReply(), (Dictionary{{"label", std::string("second")}}));
    EXPECT_EQ(connection.readReply(), (Dictionary{{"text", std::string("third")}}));
}

TEST_F(IPCServiceTest, ACallerThatLeavesBeforeTheReplyDoesNotEndTheService) {
    // At its default, SIGPIPE would end this program if the service's reply
    // to the closed connection raised it.
    struct sigaction previous {};
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ASSERT_EQ(::sigaction(SIGPIPE, &fallback, &previous), 0);

    // The caller's deadline passes while the handler sleeps; the caller
    // closes its end and the handler's reply finds it closed.
    const double start = now();
    EXPECT_EQ(failureCase([&] {
                  (void)call(path_, {"sleep", {{"seconds", 2.0}, {"label", std::string("late")}}}, start + 0.3,
                             serviceUser);
              }),
              IPCError::Case::timedOut);
    const double waited = now() - start;
    EXPECT_GE(waited, 0.3);
    EXPECT_LT(waited, 1.5);
    waitForEndedConnections(1);
    EXPECT_EQ(call(path_, flagRequest, soon(), serviceUser), flagReply);

    ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST_F(IPCServiceTest, AProgramStartedByAHandlerHasOnlyTheStandardDescriptors) {
    // The listening socket, the connection on both ends and the stop event
    // are all open while the handler starts the program.
    const Dictionary reply = call(path_, {"spawn", {}}, soon(), serviceUser);
    EXPECT_EQ(textOrEmpty(reply, "descriptors"), "0\n1\n2\n");
}

TEST_F(IPCServiceTest, TheClientTellsItsFailuresApart) {
    std::atomic<bool>& admitting = admitting_;
    const struct {
        const char* name;
        std::function<void()> call;
        IPCError::Case expected;
    } cases[] = {
        {"no service at the path",
         [&] { (void)call(directory_ / "absent.socket", flagRequest, soon(), serviceUser); },
         IPCError::Case::connectFailed},
        {"a service run by another user",
         [&] { (void)call(path_, flagRequest, soon(), serviceUser + 1); },
         IPCError::Case::untrustedService},
        {"a service that refuses the caller",
         [&] {
             admitting = false;
             try {
                 (void)call(path_, flagRequest, soon(), serviceUser);
             } catch (...) {
                 admitting = true;
                 throw;
             }
         },
         IPCError::Case::refused},
        {"a handler that fails without a reply",
         [&] { (void)call(path_, {"fail", {}}, soon(), serviceUser); },
         IPCError::Case::interrupted},
        {"a request over the cap",
         [&] { (void)call(path_, {"echo", {{"data", Data(std::string(maximumFramePayload, 'x'))}}}, soon(), serviceUser); },
         IPCError::Case::invalidRequest},
        {"a deadline that has passed", [&] { (void)call(path_, flagRequest, now(), serviceUser); },
         IPCError::Case::timedOut},
    };
    for (const auto& item : cases) {
        EXPECT_EQ(failureCase(item.call), item.expected) << item.name;
    }
    try {
        (void)call(path_, flagRequest, soon(), serviceUser + 1);
        ADD_FAILURE() << "a service of another user was trusted";
    } catch (const IPCError& error) {
        EXPECT_EQ(error.userIdentifier(), serviceUser);
    }
    // The service still serves.
    EXPECT_EQ(call(path_, flagRequest, soon(), serviceUser), flagReply);
}

TEST_F(IPCServiceTest, StopEndsIdleConnectionsAndTurnsNewCallersAway) {
    auto idle = ClientConnection::open(path_, soon(), serviceUser);
    server_.stop();
    EXPECT_EQ(failureCase([&] { (void)idle.call(flagRequest, soon()); }), IPCError::Case::interrupted);
    EXPECT_EQ(failureCase([&] { (void)call(path_, flagRequest, soon(), serviceUser); }),
              IPCError::Case::connectFailed);
}

using IPCServerTest = tarnel::testing::BoundedTest;

Handler echoHandler() {
    return [](const Request& request) { return request.arguments; };
}

TEST_F(IPCServerTest, CallersWaitInTheBacklogUntilTheServiceServes) {
    TemporaryDirectory directory;
    const auto path = socketPath(directory.path(), serviceName);
    Server server(testInterface());
    server.bind(path);
    auto pending = std::async(std::launch::async, [&] { return call(path, flagRequest, soon(), serviceUser); });
    // Bound and listening, not yet serving: the caller waits.
    EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    server.start([](const PeerCredentials&) { return std::optional<Handler>(echoHandler()); });
    EXPECT_EQ(pending.get(), flagReply);
}

// An admission that outlasts the time limit: the caller is turned away at
// the limit, and the admission's late answer is not used.
TEST_F(IPCServerTest, AnAdmissionIsBoundedByTheTimeLimit) {
    TemporaryDirectory directory;
    const auto path = socketPath(directory.path(), serviceName);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> handled{0};
    Server server(testInterface(), 0.5);
    server.bind(path);
    server.start([&, released](const PeerCredentials&) {
        released.wait_for(std::chrono::seconds(30));
        return std::optional<Handler>([&](const Request& request) {
            ++handled;
            return request.arguments;
        });
    });
    const double began = now();
    EXPECT_EQ(failureCase([&] { (void)call(path, flagRequest, soon(), serviceUser); }), IPCError::Case::refused);
    const double waited = now() - began;
    EXPECT_GE(waited, 0.5);
    EXPECT_LT(waited, 8.0);
    release.set_value();
    server.stop();
    EXPECT_EQ(handled, 0);
}

TEST_F(IPCServerTest, BindTakesOverAStaleSocketOnly) {
    TemporaryDirectory directory;
    // A missing socket directory is made, private to this user for writing.
    const auto path = socketPath(directory / "run", serviceName);
    EXPECT_EQ(path, directory / "run" / "app.tarnel.direct.helper.socket");
    EXPECT_EQ(socketPath(defaultSocketDirectory, serviceName), "/var/run/tarnel-direct/app.tarnel.direct.helper.socket");
    std::filesystem::create_directory(directory / "run");
    {
        // A socket whose service has gone.
        const UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(stale.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    ASSERT_TRUE(std::filesystem::is_socket(path));

    auto live = std::make_unique<Server>(testInterface());
    live->bind(path);
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0666u);
    live->start([](const PeerCredentials&) { return std::optional<Handler>(echoHandler()); });

    // Another server never takes the socket of a live one.
    Server second(testInterface());
    try {
        second.bind(path);
        ADD_FAILURE() << "bound over a live service";
    } catch (const SystemError& error) {
        EXPECT_EQ(error.errnoValue(), EADDRINUSE);
    }
    EXPECT_EQ(call(path, flagRequest, soon(), serviceUser), flagReply);

    // Nor anything that is not a socket.
    const auto plain = directory / "run" / "plain.socket";
    std::ofstream(plain) << "kept";
    try {
        second.bind(plain);
        ADD_FAILURE() << "bound over a file";
    } catch (const SystemError& error) {
        EXPECT_EQ(error.errnoValue(), EEXIST);
    }
    EXPECT_EQ(tarnel::testing::readText(plain), "kept");

    // The server removes its socket when it goes.
    live.reset();
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(IPCServerTest, BindRefusesADirectoryOthersMayWriteTo) {
    TemporaryDirectory directory;
    for (const auto mode : {std::filesystem::perms::all, std::filesystem::perms::owner_all | std::filesystem::perms::group_write}) {
        std::filesystem::permissions(directory.path(), mode);
        Server server(testInterface());
        EXPECT_EQ(failureCase([&] { server.bind(socketPath(directory.path(), serviceName)); }),
                  IPCError::Case::unsafeSocketDirectory);
        EXPECT_FALSE(std::filesystem::exists(socketPath(directory.path(), serviceName)));
    }
    // The mode a missing directory is made with passes.
    Server server(testInterface());
    server.bind(socketPath(directory / "made", serviceName));
    EXPECT_EQ(std::filesystem::status(directory / "made").permissions(),
              std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                  std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                  std::filesystem::perms::others_exec);
}

}  // namespace
}  // namespace tarnel::ipc
