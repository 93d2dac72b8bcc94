#include "common/process/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <stdexcept>
#include <thread>

#include "common/base/error.hpp"
#include "common/process/system_tools.hpp"

extern char** environ;

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace tarnel {

namespace {

constexpr double kWaitSlice = 0.025;

int pollRetrying(pollfd* fds, nfds_t count, int timeoutMilliseconds) noexcept {
    const int result = ::poll(fds, count, timeoutMilliseconds);
    return (result < 0 && errno == EINTR) ? 0 : result;
}

// Moves a descriptor above the standard streams, so that the child's dup2
// actions can never overwrite a source descriptor before it is used.
UniqueFd aboveStandardStreams(int fd, const char* operation) {
    if (fd < 0) {
        throw SystemError(operation, errno);
    }
    UniqueFd owned(fd);
    if (fd > 2) {
        return owned;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) {
        throw SystemError(operation, errno);
    }
    return UniqueFd(moved);
}

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

Pipe makePipe() {
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw SystemError("pipe", errno);
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    Pipe pipe;
    pipe.read = aboveStandardStreams(readEnd.release(), "pipe");
    pipe.write = aboveStandardStreams(writeEnd.release(), "pipe");
    return pipe;
}

UniqueFd duplicateAboveStandardStreams(int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) {
        throw SystemError("dup", errno);
    }
    return UniqueFd(copy);
}

class SpawnActions {
public:
    SpawnActions() {
        if (const int rc = ::posix_spawn_file_actions_init(&actions_); rc != 0) throw SystemError("posix_spawn", rc);
    }
    ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;

    void duplicate(int from, int to) { check(::posix_spawn_file_actions_adddup2(&actions_, from, to)); }
    void openNull(int to, int flags) { check(::posix_spawn_file_actions_addopen(&actions_, to, "/dev/null", flags, 0)); }
    void changeDirectory(const char* path) { check(::posix_spawn_file_actions_addchdir_np(&actions_, path)); }
    void closeFrom(int from) { check(::posix_spawn_file_actions_addclosefrom_np(&actions_, from)); }
    [[nodiscard]] const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    static void check(int rc) {
        if (rc != 0) throw SystemError("posix_spawn", rc);
    }
    posix_spawn_file_actions_t actions_{};
};

class SpawnAttributes {
public:
    SpawnAttributes() {
        if (const int rc = ::posix_spawnattr_init(&attributes_); rc != 0) throw SystemError("posix_spawn", rc);
    }
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_{};
};

// Writes the input bytes into the child's standard input and closes it. Ends
// early when the child stops reading (EPIPE) or when cancelled. Records the
// outcome, then signals `doneFd`.
void writeInput(UniqueFd pipe, std::string bytes, int cancelFd, std::atomic<ChildProcess::InputDelivery>* outcome,
                int doneFd) {
    sigset_t brokenPipe;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    // A write to a closed pipe must give EPIPE here even in a program that has
    // not ignored SIGPIPE; a signal left pending on this thread dies with it.
    pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr);
    const int flags = ::fcntl(pipe.get(), F_GETFL);
    if (flags >= 0) ::fcntl(pipe.get(), F_SETFL, flags | O_NONBLOCK);
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        pollfd fds[2] = {{pipe.get(), POLLOUT, 0}, {cancelFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) {
            break;
        }
        const std::size_t chunk = std::min<std::size_t>(bytes.size() - offset, 65536);
        const ssize_t written = ::write(pipe.get(), bytes.data() + offset, chunk);
        if (written > 0) {
            offset += static_cast<std::size_t>(written);
        } else if (written < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        } else {
            break;
        }
    }
    pipe.reset();
    outcome->store(offset == bytes.size() ? ChildProcess::InputDelivery::written : ChildProcess::InputDelivery::failed);
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto ignored = ::write(doneFd, &one, sizeof one);
}

}  // namespace

void ignoreBrokenPipeSignals() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGPIPE, &action, nullptr);
}

namespace pidfd {

UniqueFd open(pid_t pid) noexcept { return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); }

bool hasExited(int descriptor) noexcept {
    pollfd fd{descriptor, POLLIN, 0};
    return pollRetrying(&fd, 1, 0) > 0;
}

bool sendSignal(int descriptor, int signalNumber) noexcept {
    return ::syscall(SYS_pidfd_send_signal, descriptor, signalNumber, nullptr, 0) == 0;
}

bool waitForExit(int descriptor, double seconds, const Clock& clock) {
    if (hasExited(descriptor)) return true;
    return waitInSlices(seconds, clock, kWaitSlice, [descriptor](int milliseconds) {
        pollfd fd{descriptor, POLLIN, 0};
        pollRetrying(&fd, 1, milliseconds);
        return hasExited(descriptor);
    });
}

}  // namespace pidfd

bool waitInSlices(double seconds, const Clock& clock, double slice, const std::function<bool(int)>& ready) {
    const auto& real = SystemClock::shared();
    const double start = clock.uptime();
    const double realStart = real.uptime();
    for (;;) {
        const double remaining = std::min(seconds - (clock.uptime() - start), seconds - (real.uptime() - realStart));
        if (!(remaining > 0.0)) {
            return ready(0);
        }
        const double wait = std::min(remaining, slice);
        if (ready(static_cast<int>(std::ceil(wait * 1000.0)))) {
            return true;
        }
    }
}

struct ChildProcess::State {
    pid_t pid = -1;
    UniqueFd pidfd;
    bool ownGroup = false;
    bool reaped = false;
    mutable std::optional<ExitStatus> status;
    UniqueFd output;
    UniqueFd error;
    UniqueFd writerCancel;
    UniqueFd writerDone;
    std::atomic<InputDelivery> inputDelivery = InputDelivery::none;
    std::thread writer;

    bool exited() const {
        return reaped || status || pidfd::hasExited(pidfd.get());
    }

    // Kills what is left of the child's own process group, reaps the child and
    // ends the input writer. Only for a child that has exited.
    void reap() {
        if (!reaped) {
            if (ownGroup) {
                // The leader is still unreaped, so this group identifier is ours.
                ::kill(-pid, SIGKILL);
            }
            siginfo_t info{};
            while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd.get()), &info, WEXITED) != 0 &&
                   errno == EINTR) {
            }
            reaped = true;
        }
        stopWriter();
    }

    void stopWriter() {
        if (writer.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto ignored = ::write(writerCancel.get(), &one, sizeof one);
            writer.join();
        }
    }
};

ChildProcess::ChildProcess(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept = default;

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        finish();
        state_ = std::move(other.state_);
    }
    return *this;
}

ChildProcess::~ChildProcess() { finish(); }

ChildProcess ChildProcess::spawn(const Options& options) {
    // The program, its arguments, environment and directory reach the system
    // as C strings: a NUL byte would cut one short, and the child would run
    // with other text than the caller gave. Such a launch is refused whole.
    const auto holdsNul = [](std::string_view text) { return text.find('\0') != std::string_view::npos; };
    const auto anyHoldsNul = [&](const std::vector<std::string>& texts) {
        return std::any_of(texts.begin(), texts.end(), holdsNul);
    };
    if (holdsNul(options.executable.native()) || anyHoldsNul(options.arguments) ||
        (options.environment && anyHoldsNul(*options.environment)) ||
        (options.workingDirectory && holdsNul(options.workingDirectory->native()))) {
        throw SystemError("launch " + options.executable.string(), EINVAL);
    }
    const std::filesystem::path executable = SystemTools::resolve(options.executable);
    const std::string executableText = executable.string();

    SpawnActions actions;
    SpawnAttributes attributes;
    // Child-side descriptors: closed in the parent once the child has its copies.
    std::vector<UniqueFd> childEnds;
    auto state = std::make_unique<State>();
    UniqueFd inputWrite;

    if (options.input) {
        Pipe pipe = makePipe();
        actions.duplicate(pipe.read.get(), STDIN_FILENO);
        childEnds.push_back(std::move(pipe.read));
        inputWrite = std::move(pipe.write);
    } else {
        switch (options.inputRedirect.kind) {
        case Redirect::Kind::inherit:
            break;
        case Redirect::Kind::null:
            actions.openNull(STDIN_FILENO, O_RDONLY);
            break;
        case Redirect::Kind::descriptor: {
            UniqueFd copy = duplicateAboveStandardStreams(options.inputRedirect.fd);
            actions.duplicate(copy.get(), STDIN_FILENO);
            childEnds.push_back(std::move(copy));
            break;
        }
        case Redirect::Kind::pipe:
        case Redirect::Kind::standardOutput:
            throw std::invalid_argument("standard input takes bytes, the null device or a descriptor");
        }
    }

    const auto route = [&](const Redirect& redirect, int target, UniqueFd& parentEnd) {
        switch (redirect.kind) {
        case Redirect::Kind::inherit:
            break;
        case Redirect::Kind::null:
            actions.openNull(target, O_WRONLY);
            break;
        case Redirect::Kind::pipe: {
            Pipe pipe = makePipe();
            actions.duplicate(pipe.write.get(), target);
            childEnds.push_back(std::move(pipe.write));
            parentEnd = std::move(pipe.read);
            break;
        }
        case Redirect::Kind::descriptor: {
            UniqueFd copy = duplicateAboveStandardStreams(redirect.fd);
            actions.duplicate(copy.get(), target);
            childEnds.push_back(std::move(copy));
            break;
        }
        case Redirect::Kind::standardOutput:
            if (target != STDERR_FILENO) throw std::invalid_argument("only standard error can follow standard output");
            actions.duplicate(STDOUT_FILENO, STDERR_FILENO);
            break;
        }
    };
    route(options.output, STDOUT_FILENO, state->output);
    route(options.error, STDERR_FILENO, state->error);
    if (options.workingDirectory) {
        actions.changeDirectory(options.workingDirectory->c_str());
    }
    actions.closeFrom(3);

    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (options.ownProcessGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        ::posix_spawnattr_setpgroup(attributes.get(), 0);
    }
    ::posix_spawnattr_setflags(attributes.get(), flags);
    sigset_t none;
    sigemptyset(&none);
    ::posix_spawnattr_setsigmask(attributes.get(), &none);
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    ::posix_spawnattr_setsigdefault(attributes.get(), &all);

    std::vector<std::string> argumentStorage;
    argumentStorage.reserve(options.arguments.size() + 1);
    argumentStorage.push_back(executableText);
    argumentStorage.insert(argumentStorage.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argumentStorage) argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::vector<std::string> environmentStorage;
    std::vector<char*> envp;
    char** environment = environ;
    if (options.environment) {
        environmentStorage = *options.environment;
        for (auto& entry : environmentStorage) envp.push_back(entry.data());
        envp.push_back(nullptr);
        environment = envp.data();
    }

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, executableText.c_str(), actions.get(), attributes.get(), argv.data(), environment);
    if (rc != 0) {
        throw SystemError("launch " + executableText, rc);
    }
    childEnds.clear();

    // The child is unreaped, so its identifier cannot have been reused yet.
    UniqueFd descriptor = pidfd::open(pid);
    if (!descriptor) {
        const int error = errno;
        ::kill(options.ownProcessGroup ? -pid : pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        throw SystemError("pidfd_open", error);
    }
    state->pid = pid;
    state->pidfd = std::move(descriptor);
    state->ownGroup = options.ownProcessGroup;

    if (options.input) {
        state->writerCancel = UniqueFd(::eventfd(0, EFD_CLOEXEC));
        state->writerDone = UniqueFd(::eventfd(0, EFD_CLOEXEC));
        if (!state->writerCancel || !state->writerDone) {
            const int error = errno;
            ChildProcess failed(std::move(state));
            throw SystemError("eventfd", error);
        }
        state->inputDelivery = InputDelivery::writing;
        try {
            state->writer = std::thread(writeInput, std::move(inputWrite), *options.input, state->writerCancel.get(),
                                        &state->inputDelivery, state->writerDone.get());
        } catch (const std::system_error& error) {
            ChildProcess failed(std::move(state));
            throw SystemError("thread", error.code().value());
        }
    }
    return ChildProcess(std::move(state));
}

pid_t ChildProcess::pid() const noexcept { return state_ ? state_->pid : -1; }

bool ChildProcess::hasOwnProcessGroup() const noexcept { return state_ && state_->ownGroup; }

UniqueFd& ChildProcess::standardOutput() noexcept { return state_->output; }

UniqueFd& ChildProcess::standardError() noexcept { return state_->error; }

int ChildProcess::exitDescriptor() const noexcept { return state_ ? state_->pidfd.get() : -1; }

bool ChildProcess::hasExited() const { return !state_ || state_->exited(); }

bool ChildProcess::waitForExit(double seconds, const Clock& clock) const {
    return hasExited() || pidfd::waitForExit(state_->pidfd.get(), seconds, clock);
}

void ChildProcess::waitForExit() const {
    while (!hasExited()) {
        pollfd fd{state_->pidfd.get(), POLLIN, 0};
        pollRetrying(&fd, 1, -1);
    }
}

std::optional<ChildProcess::ExitStatus> ChildProcess::exitStatus() const {
    if (!state_) return std::nullopt;
    if (state_->status) return state_->status;
    if (!state_->exited()) return std::nullopt;
    siginfo_t info{};
    int rc = 0;
    while ((rc = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(state_->pidfd.get()), &info,
                          WEXITED | WNOHANG | WNOWAIT)) != 0 &&
           errno == EINTR) {
    }
    if (rc != 0 || info.si_pid == 0) {
        // Someone else reaped the child: its status is lost.
        state_->status = ExitStatus{ExitStatus::Kind::exited, -1};
    } else if (info.si_code == CLD_EXITED) {
        state_->status = ExitStatus{ExitStatus::Kind::exited, info.si_status};
    } else {
        state_->status = ExitStatus{ExitStatus::Kind::signaled, info.si_status};
    }
    return state_->status;
}

ChildProcess::InputDelivery ChildProcess::inputDelivery() const noexcept {
    return state_ ? state_->inputDelivery.load() : InputDelivery::none;
}

ChildProcess::InputDelivery ChildProcess::waitForInput(double seconds, const Clock& clock) const {
    if (inputDelivery() != InputDelivery::writing) return inputDelivery();
    waitInSlices(seconds, clock, kWaitSlice, [this](int milliseconds) {
        pollfd fd{state_->writerDone.get(), POLLIN, 0};
        pollRetrying(&fd, 1, milliseconds);
        return inputDelivery() != InputDelivery::writing;
    });
    return inputDelivery();
}

bool ChildProcess::signal(int signalNumber) const {
    if (hasExited()) return false;
    return pidfd::sendSignal(state_->pidfd.get(), signalNumber);
}

bool ChildProcess::signalGroup(int signalNumber) const {
    if (!state_ || !state_->ownGroup) return signal(signalNumber);
    if (state_->reaped) return false;
    return ::kill(-state_->pid, signalNumber) == 0;
}

bool ChildProcess::stop(double terminateWait, double killWait, const Clock& clock) {
    if (hasExited()) return true;
    signalGroup(SIGTERM);
    if (waitForExit(terminateWait, clock)) return true;
    signalGroup(SIGKILL);
    return waitForExit(killWait, clock);
}

void ChildProcess::detach() {
    if (!state_) return;
    std::unique_ptr<State> state = std::move(state_);
    if (state->exited()) {
        state->reap();
        return;
    }
    State* raw = state.get();
    try {
        std::thread([raw]() {
            std::unique_ptr<State> owned(raw);
            pollfd fd{owned->pidfd.get(), POLLIN, 0};
            while (!owned->exited()) {
                pollRetrying(&fd, 1, -1);
            }
            owned->reap();
        }).detach();
        state.release();
    } catch (...) {
        // No thread to reap it (the thread could not be created): the child
        // keeps running and stays a zombie after it exits; its descriptors
        // are closed here, and the input writer ends before its thread object
        // goes, which must never be destroyed while joinable.
        state->reaped = true;
        state->stopWriter();
    }
}

void ChildProcess::finish() noexcept {
    if (!state_) return;
    try {
        if (!state_->exited()) {
            stop(0.5, 0.5);
        }
        if (state_->exited()) {
            state_->reap();
            state_.reset();
        } else {
            detach();
        }
    } catch (...) {
        state_.reset();
    }
}

}  // namespace tarnel
