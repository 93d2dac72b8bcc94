#include "app/tunnel/sing_box_process.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <system_error>
#include <utility>

#include "app/tunnel/deployment_configuration.hpp"
#include "common/base/ascii.hpp"
#include "common/process/system_tools.hpp"
#include "platform/info_plist.hpp"

extern char** environ;

namespace tarnel {

namespace {

std::string_view variableName(std::string_view entry) { return entry.substr(0, entry.find('=')); }

// Every variable that names a proxy for curl, whatever its letter case:
// http_proxy, HTTPS_PROXY, ALL_PROXY, NO_PROXY, no_proxy and the rest.
bool isProxyVariable(std::string_view name) {
    constexpr std::string_view suffix = "_proxy";
    return name.size() >= suffix.size() && ascii::equalIgnoringCase(name.substr(name.size() - suffix.size()), suffix);
}

// This process's environment without the variables `drop` names, with
// `additions` ("KEY=value") in place of the variables of their names.
std::vector<std::string> environmentWith(const std::function<bool(std::string_view)>& drop,
                                         const std::vector<std::string>& additions) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!drop(variableName(*entry))) entries.emplace_back(*entry);
    }
    for (const auto& addition : additions) {
        std::erase_if(entries, [&](const std::string& entry) { return variableName(entry) == variableName(addition); });
        entries.push_back(addition);
    }
    return entries;
}

bool isExecutableFile(const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// An empty directory of this process alone (mode 0700), removed with
// whatever is in it when the object ends.
class PrivateDirectory {
public:
    PrivateDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnel-curl-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw SystemError("mkdtemp " + pattern, errno);
        path_ = std::move(pattern);
    }
    ~PrivateDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    PrivateDirectory(const PrivateDirectory&) = delete;
    PrivateDirectory& operator=(const PrivateDirectory&) = delete;

    [[nodiscard]] const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
};

}  // namespace

std::string SingBoxProcessError::message() const {
    switch (case_) {
    case Case::binaryMissing:
        return "sing-box binary missing. Put it at Resources/bin/sing-box and verify universal macOS 12 support.";
    case Case::processExited:
        return "sing-box exited before the proxy became usable.";
    case Case::healthCheckFailed:
        return "The local proxy could not carry an HTTPS request.";
    }
    return {};
}

ProxyProcessSettings ProxyProcessSettings::production() {
    ProxyProcessSettings settings;
    if (const auto infoPlist = info_plist::mainBundlePath()) settings.resourceFolder = infoPlist->parent_path() / "Resources";
    settings.traceHost = DeploymentConfiguration::production().trafficChecks.traceHost;
    return settings;
}

SingBoxProcess::SingBoxProcess(ProxyProcessSettings settings) : settings_(std::move(settings)) {}

SingBoxProcess::~SingBoxProcess() { terminate(); }

void SingBoxProcess::start(const std::filesystem::path& configurationPath) {
    terminate();

    if (!settings_.resourceFolder) throw SingBoxProcessError(SingBoxProcessError::Case::binaryMissing);
    const std::filesystem::path executable = *settings_.resourceFolder / kExecutable;
    if (!isExecutableFile(executable)) throw SingBoxProcessError(SingBoxProcessError::Case::binaryMissing);

    ChildProcess::Options options;
    options.executable = executable;
    options.arguments = {"run", "-c", configurationPath.string()};
    options.environment = environmentWith([](std::string_view) { return false; }, settings_.runtimeEnvironment);
    // Nothing reads the runtime's output, so it can never block on it.
    options.inputRedirect = ChildProcess::Redirect::null();
    options.output = ChildProcess::Redirect::null();
    options.error = ChildProcess::Redirect::null();
    ChildProcess child = ChildProcess::spawn(options);

    std::uint64_t generation = 0;
    {
        const std::lock_guard lock(mutex_);
        child_ = std::move(child);
        generation = ++generation_;
    }
    try {
        for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
            if (!runs(generation)) throw SingBoxProcessError(SingBoxProcessError::Case::processExited);
            if (probeProxy()) return;
            settings_.clock->sleepFor(kProbeInterval);
        }
        throw SingBoxProcessError(SingBoxProcessError::Case::healthCheckFailed);
    } catch (...) {
        terminate(generation);
        throw;
    }
}

bool SingBoxProcess::probeProxy() const {
    try {
        const PrivateDirectory home;
        std::vector<std::string> additions{"HOME=" + home.path(), "CURL_HOME=" + home.path(),
                                           "XDG_CONFIG_HOME=" + home.path()};
        additions.insert(additions.end(), settings_.curlEnvironment.begin(), settings_.curlEnvironment.end());

        ChildProcess::Options options;
        options.executable = std::string(SystemTools::curl);
        options.arguments = {"-4",
                             "-fsS",
                             "--proxy",
                             std::string(kProxyURL),
                             "--connect-timeout",
                             "4",
                             "--max-time",
                             "7",
                             traceProbeURL(settings_.traceHost, Uuid::random())};
        options.environment = environmentWith(isProxyVariable, additions);
        options.inputRedirect = ChildProcess::Redirect::null();
        options.output = ChildProcess::Redirect::null();
        options.error = ChildProcess::Redirect::null();
        // A group of its own, so that a stop also reaches whatever curl left behind.
        options.ownProcessGroup = true;
        ChildProcess curl = ChildProcess::spawn(options);
        if (!curl.waitForExit(kCurlWait)) {
            curl.stop(kTerminationGrace, kTerminationGrace);
            return false;
        }
        const auto status = curl.exitStatus();
        return status && *status == ChildProcess::ExitStatus{ChildProcess::ExitStatus::Kind::exited, 0};
    } catch (...) {
        // A curl that cannot be launched is a failed probe, not an error.
        return false;
    }
}

bool SingBoxProcess::isRunning() const {
    const std::lock_guard lock(mutex_);
    return child_ && child_->isRunning();
}

std::optional<pid_t> SingBoxProcess::pid() const {
    const std::lock_guard lock(mutex_);
    if (!child_) return std::nullopt;
    return child_->pid();
}

void SingBoxProcess::terminate() { terminate(std::nullopt); }

bool SingBoxProcess::runs(std::uint64_t generation) const {
    const std::lock_guard lock(mutex_);
    return child_ && generation_ == generation && child_->isRunning();
}

void SingBoxProcess::terminate(std::optional<std::uint64_t> generation) {
    std::optional<ChildProcess> child;
    {
        const std::lock_guard lock(mutex_);
        if (!child_ || (generation && *generation != generation_)) return;
        child = std::move(child_);
        child_.reset();
    }
    // Outside the lock: a start that is probing goes on to its next check.
    // The object's end reaps the child (or hands one that cannot be killed to
    // the background reaper).
    child->stop(kTerminationGrace, kTerminationGrace);
}

}  // namespace tarnel
