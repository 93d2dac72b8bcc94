#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/error.hpp"
#include "common/process/child_process.hpp"

namespace tarnel {

class SingBoxProcessError final : public Error {
public:
    enum class Case {
        binaryMissing,
        processExited,
        healthCheckFailed,
    };

    explicit SingBoxProcessError(Case errorCase) : case_(errorCase) {}

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "SingBoxProcessError"; }

private:
    Case case_;
};

// What the proxy-mode runtime runs from and with.
struct ProxyProcessSettings {
    // The folder that holds "bin/sing-box": the running bundle's
    // "Contents/Resources"; nothing outside a bundle (the runtime is then
    // missing).
    std::optional<std::filesystem::path> resourceFolder;
    // The host of the trace endpoint that the probe requests through the proxy.
    std::string traceHost;
    // "KEY=value" entries added to the environment of the runtime and of curl
    // (replacing a variable of the same name). None in production.
    std::vector<std::string> runtimeEnvironment;
    std::vector<std::string> curlEnvironment;
    // The clock of the sleeps between probes; not owned.
    const Clock* clock = &SystemClock::shared();

    // The running bundle's resources and the deployment's trace host.
    [[nodiscard]] static ProxyProcessSettings production();
};

// The proxy-mode runtime as the application state drives it: started with a
// configuration, probed, watched and stopped. `SingBoxProcess` is the real
// one; the state's tests put a scripted one in its place.
class ProxyProcessControl {
public:
    virtual ~ProxyProcessControl() = default;

    // Starts the runtime with the configuration and returns once the proxy
    // carries traffic; throws when it cannot (nothing left running).
    virtual void start(const std::filesystem::path& configurationPath) = 0;
    // One request through the local proxy; never throws.
    [[nodiscard]] virtual bool probeProxy() const = 0;
    [[nodiscard]] virtual bool isRunning() const = 0;
    // Stops and drops the runtime; nothing without one.
    virtual void terminate() = 0;

protected:
    ProxyProcessControl() = default;
    ProxyProcessControl(const ProxyProcessControl&) = default;
    ProxyProcessControl& operator=(const ProxyProcessControl&) = default;
};

// The proxy-mode sing-box child: the application runs it with the proxy
// configuration (a mixed inbound on 127.0.0.1:2080) and proves that the local
// proxy carries an HTTPS request before it reports the proxy usable.
//
// Thread safety: every member may be called from any thread. A mutex guards
// the child and is never held across a probe or a sleep, so `terminate()`
// reaches a `start()` that is probing: its next check fails with
// processExited. `start()` calls are serialised by the caller.
class SingBoxProcess final : public ProxyProcessControl {
public:
    // "bin/sing-box" below the resource folder.
    static constexpr std::string_view kExecutable = "bin/sing-box";
    static constexpr std::string_view kProxyURL = "http://127.0.0.1:2080";
    static constexpr int kProbeAttempts = 3;
    static constexpr double kProbeInterval = 0.5;
    // Every stop of the runtime: SIGTERM, this long, SIGKILL, reap.
    static constexpr double kTerminationGrace = 1.0;
    // curl bounds itself by its arguments (4 s to connect, 7 s in all); its
    // run is bounded here as well, then curl is stopped like the runtime.
    static constexpr double kCurlWait = 8.0;

    explicit SingBoxProcess(ProxyProcessSettings settings);
    // Stops a running child as `terminate()` does.
    ~SingBoxProcess() override;
    SingBoxProcess(const SingBoxProcess&) = delete;
    SingBoxProcess& operator=(const SingBoxProcess&) = delete;

    // Stops a previous child, starts `sing-box run -c <configurationPath>`
    // (output to the null device) and probes the proxy up to three times,
    // 0.5 s apart. Returns once a probe succeeded, the child left running.
    // Throws SingBoxProcessError binaryMissing (nothing launched),
    // processExited or healthCheckFailed (the child stopped and dropped), or
    // SystemError when the launch fails (nothing left running).
    void start(const std::filesystem::path& configurationPath) override;

    // One HTTPS request through the local proxy: /usr/bin/curl with exactly
    // "-4", "-fsS", "--proxy", "http://127.0.0.1:2080", "--connect-timeout",
    // "4", "--max-time", "7" and "https://<trace host>/cdn-cgi/trace?
    // tarnel_probe=<fresh upper-case UUID>". curl's environment has no proxy
    // variable, and HOME, CURL_HOME and XDG_CONFIG_HOME name an empty private
    // directory, so no curlrc or proxy setting takes the request elsewhere.
    // True exactly when curl exits 0; a curl that cannot be launched, or
    // outlives 8 s (stopped then), is false. Never throws.
    [[nodiscard]] bool probeProxy() const override;

    [[nodiscard]] bool isRunning() const override;
    // The running child's process identifier; nothing without a child.
    [[nodiscard]] std::optional<pid_t> pid() const;
    // Drops the child: SIGTERM, up to 1 s, SIGKILL, reap. Nothing without one.
    void terminate() override;

private:
    // True while the child of launch `generation` is held and runs.
    [[nodiscard]] bool runs(std::uint64_t generation) const;
    // Stops and drops the child of launch `generation` (any when nothing).
    void terminate(std::optional<std::uint64_t> generation);

    ProxyProcessSettings settings_;
    mutable std::mutex mutex_;
    std::optional<ChildProcess> child_;
    std::uint64_t generation_ = 0;  // of the held child; counts launches
};

}  // namespace tarnel
