#include "platform/service/systemd_helper_service_registrar.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>
#include <utility>
#include <vector>

#include "common/base/files.hpp"
#include "common/base/utf8.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/system_tools.hpp"

namespace tarnel {

namespace {

namespace fs = std::filesystem;

constexpr double kStatusTimeout = 5.0;
constexpr double kChangeTimeout = 30.0;
constexpr std::int64_t kOutputCap = 65536;
constexpr std::string_view kSystemctlDomain = "systemctl";
constexpr std::string_view kUnitDomain = "systemd-unit";

std::string firstLine(std::string_view text) {
    const auto lines = utf8::nonEmptyPieces(text, utf8::isLineBreak);
    return lines.empty() ? std::string() : std::string(utf8::trimWhiteSpace(lines.front()));
}

// Runs `systemctl ARGUMENTS` within `timeout` seconds; a non-zero exit throws.
BoundedCommandResult systemctl(const std::vector<std::string>& arguments, double timeout, const Clock& clock,
                               bool judgeStatus = true) {
    const double deadline = clock.uptime() + timeout;
    BoundedCommandStreams streams;
    streams.captureStandardError = true;
    BoundedCommandResult result;
    try {
        result = BoundedCommandRunner::run(
            {std::string(SystemTools::systemctl), arguments}, streams, kOutputCap,
            [deadline](double uptime) {
                if (!(uptime < deadline)) {
                    throw HelperServiceRegistrationError(std::string(kSystemctlDomain), -1, "systemctl timed out");
                }
            },
            clock);
    } catch (const BoundedCommandRunnerError& error) {
        throw HelperServiceRegistrationError(std::string(kSystemctlDomain), -1, error.message());
    }
    if (judgeStatus && result.terminationStatus != 0) {
        std::string description = firstLine(utf8::decodeReplacingInvalid(result.standardError));
        if (description.empty()) {
            description = "systemctl " + arguments.front() + " failed with status " +
                          std::to_string(result.terminationStatus);
        }
        throw HelperServiceRegistrationError(std::string(kSystemctlDomain), result.terminationStatus,
                                             std::move(description));
    }
    return result;
}

[[noreturn]] void unitFailure(int errorNumber, std::string description) {
    throw HelperServiceRegistrationError(std::string(kUnitDomain), errorNumber, std::move(description));
}

// The first entry from the root down to `path` that someone other than
// `owner` could change, looked at without following links; `sawLink` tells
// whether any of them is a link.
std::optional<fs::path> firstUnprotected(const fs::path& path, uid_t owner, bool& sawLink) {
    fs::path prefix;
    const auto last = std::prev(path.end());
    for (auto part = path.begin(); part != path.end(); ++part) {
        prefix /= *part;
        struct stat status {};
        if (::lstat(prefix.c_str(), &status) != 0 || status.st_uid != owner) return prefix;
        const bool writableByOthers = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        if (S_ISLNK(status.st_mode)) {
            // A link's own mode means nothing: its owner and its directory
            // decide who may replace it, and its target is looked at apart.
            sawLink = true;
        } else if (part == last) {
            if (!S_ISREG(status.st_mode) || writableByOthers) return prefix;
        } else if (!S_ISDIR(status.st_mode) || (writableByOthers && (status.st_mode & S_ISVTX) == 0)) {
            return prefix;
        }
    }
    return std::nullopt;
}

}  // namespace

namespace SystemdUnit {

std::optional<fs::path> execStartProgram(std::string_view unitText) {
    bool inService = false;
    // The one ExecStart value; empty while there is none (a value is never
    // empty: an empty assignment clears the list).
    std::string_view command;
    for (const std::string_view rawLine : utf8::nonEmptyPieces(unitText, [](char32_t c) { return c == U'\n'; })) {
        const std::string_view line = utf8::trimWhiteSpace(rawLine);
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;
        if (line.front() == '[') {
            inService = line == "[Service]";
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!inService || equals == std::string_view::npos) continue;
        if (utf8::trimWhiteSpace(line.substr(0, equals)) != "ExecStart") continue;
        const std::string_view value = utf8::trimWhiteSpace(line.substr(equals + 1));
        if (value.empty()) {
            command = {};
            continue;
        }
        if (!command.empty()) return std::nullopt;
        command = value;
    }
    if (command.empty()) return std::nullopt;
    std::string_view program = command.substr(0, command.find_first_of(" \t"));
    while (!program.empty() && std::string_view("@-:+!").find(program.front()) != std::string_view::npos) {
        program.remove_prefix(1);
    }
    if (program.empty() || program.front() != '/') return std::nullopt;
    return fs::path(program).lexically_normal();
}

std::optional<fs::path> unprotectedEntry(const fs::path& path, uid_t owner) {
    if (!path.is_absolute()) return path;
    bool sawLink = false;
    if (auto entry = firstUnprotected(path.lexically_normal(), owner, sawLink)) return entry;
    if (!sawLink) return std::nullopt;
    std::error_code error;
    const fs::path resolved = fs::canonical(path, error);
    if (error) return path;
    bool again = false;
    return firstUnprotected(resolved, owner, again);
}

}  // namespace SystemdUnit

SystemdHelperServiceRegistrar::SystemdHelperServiceRegistrar(SystemdHelperService service)
    : service_(std::move(service)) {}

SystemdHelperServiceRegistrar::~SystemdHelperServiceRegistrar() {
    const std::lock_guard lock(unregisteringMutex_);
    if (unregistering_.joinable()) unregistering_.join();
}

HelperServiceStatus SystemdHelperServiceRegistrar::status() {
    try {
        const BoundedCommandResult result =
            systemctl({"is-enabled", service_.unitName}, kStatusTimeout, *service_.clock, false);
        const std::string state = firstLine(result.output);
        if (state == "enabled") return HelperServiceStatus::enabled;
        if (state == "disabled") return HelperServiceStatus::notRegistered;
        if (state == "not-found") return HelperServiceStatus::notFound;
    } catch (const std::exception&) {
        // A status that cannot be read is no status the installer may act on.
    }
    return HelperServiceStatus::unknown;
}

void SystemdHelperServiceRegistrar::registerService() {
    const std::optional<fs::path> program = SystemdUnit::execStartProgram(service_.unitText);
    if (!program) unitFailure(EINVAL, "the helper's unit names no program to start");
    if (const auto entry = SystemdUnit::unprotectedEntry(*program)) {
        if (!files::entryExists(*entry)) unitFailure(ENOENT, "the helper program " + program->string() + " is missing");
        unitFailure(EPERM, "the helper program " + program->string() + " is not protected from other users (" +
                               entry->string() + ")");
    }
    const fs::path unitFile = service_.unitDirectory / service_.unitName;
    try {
        if (files::readIfExists(unitFile) != service_.unitText) {
            files::writeAtomically(unitFile, service_.unitText, 0644);
        }
    } catch (const SystemError& error) {
        unitFailure(error.errnoValue(), error.message());
    }
    systemctl({"daemon-reload"}, kChangeTimeout, *service_.clock);
    systemctl({"enable", "--now", service_.unitName}, kChangeTimeout, *service_.clock);
}

void SystemdHelperServiceRegistrar::unregisterService(std::function<void(std::exception_ptr)> completion) {
    const std::lock_guard lock(unregisteringMutex_);
    // One unregistration at a time: an earlier one ends within its bound.
    if (unregistering_.joinable()) unregistering_.join();
    unregistering_ = std::jthread([this, completion = std::move(completion)] {
        std::exception_ptr failure;
        try {
            systemctl({"disable", "--now", service_.unitName}, kChangeTimeout, *service_.clock);
        } catch (...) {
            failure = std::current_exception();
        }
        completion(failure);
    });
}

std::optional<LegacyHelperAuthorizer::Reference> SystemdLegacyHelperAuthorizer::create() {
    const std::lock_guard lock(mutex_);
    return next_++;
}

std::int32_t SystemdLegacyHelperAuthorizer::copyRight(Reference reference, std::string_view right,
                                                      std::uint32_t /*flags*/) {
    if (right != blessRight || ::geteuid() != 0) return authorizationDenied;
    const std::lock_guard lock(mutex_);
    if (reference == 0 || reference >= next_) return authorizationDenied;
    granted_ = reference;
    return 0;
}

std::optional<LegacyHelperAuthorizer::BlessFailure> SystemdLegacyHelperAuthorizer::bless(std::string_view label,
                                                                                         Reference reference) {
    {
        const std::lock_guard lock(mutex_);
        if (granted_ != reference) return BlessFailure{"the authorization does not grant blessing a helper"};
    }
    if (label != "app.tarnel.direct.helper") return BlessFailure{"no helper job named " + std::string(label)};
    try {
        registrar_->registerService();
    } catch (const std::exception& error) {
        return BlessFailure{errorMessage(error)};
    }
    return std::nullopt;
}

void SystemdLegacyHelperAuthorizer::free(Reference reference) {
    const std::lock_guard lock(mutex_);
    if (granted_ == reference) granted_.reset();
}

}  // namespace tarnel
