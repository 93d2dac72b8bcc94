#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "common/base/clock.hpp"
#include "platform/service/helper_service_registrar.hpp"

// The helper's registration on Linux: a systemd system service whose unit the
// application carries. Every call goes to `systemctl` (the system tool at
// "/usr/bin/systemctl", mapped like the other tools) through the bounded
// command runner.
namespace tarnel {

struct SystemdHelperService {
    static constexpr std::string_view productionUnitName = "app.tarnel.direct.helper.service";
    static constexpr std::string_view productionUnitDirectory = "/etc/systemd/system";

    std::string unitName = std::string(productionUnitName);
    // The unit file's text; in production the copy the application carries.
    std::string unitText;
    std::filesystem::path unitDirectory = std::string(productionUnitDirectory);
    const Clock* clock = &SystemClock::shared();
};

// Registers the helper as the unit of `SystemdHelperService`:
//   status      `systemctl is-enabled UNIT`, its first line of output:
//               "enabled" → enabled, "disabled" → not registered,
//               "not-found" → not found; anything else, or a call that
//               fails or times out (5 s), → unknown
//   register    refuses a unit whose program (its one ExecStart) could be
//               replaced by anyone but root; writes the unit file with mode
//               0644 into the unit directory unless it holds exactly that
//               text; `systemctl daemon-reload`; `systemctl enable --now UNIT`
//   unregister  `systemctl disable --now UNIT` on a thread of its own, then
//               the completion; the object waits for that thread when it ends
//   approval    systemd has none: the status never requires it, and
//               openLoginItems does nothing
// A failed call throws HelperServiceRegistrationError with the domain
// "systemctl", the exit status as its code and the first line of standard
// error as its description ("systemctl <command> failed with status N"
// when it wrote none); a call that cannot run, or runs past its 30 s, has
// the code -1. A missing or unsafe program, or a unit that cannot be
// written, has the domain "systemd-unit" and the system's error number as its
// code (ENOENT, EPERM, ...).
class SystemdHelperServiceRegistrar final : public HelperServiceRegistrar {
public:
    explicit SystemdHelperServiceRegistrar(SystemdHelperService service);
    ~SystemdHelperServiceRegistrar() override;
    SystemdHelperServiceRegistrar(const SystemdHelperServiceRegistrar&) = delete;
    SystemdHelperServiceRegistrar& operator=(const SystemdHelperServiceRegistrar&) = delete;

    [[nodiscard]] HelperServiceStatus status() override;
    void registerService() override;
    void unregisterService(std::function<void(std::exception_ptr)> completion) override;
    void openLoginItems() override {}

private:
    SystemdHelperService service_;
    std::mutex unregisteringMutex_;
    std::jthread unregistering_;
};

namespace SystemdUnit {

// The program of a unit's one non-empty `ExecStart=` in its [Service]
// section, without the command prefixes systemd allows ("@", "-", ":", "+",
// "!"); nothing when there is no such line, several, or a path that is not
// absolute.
[[nodiscard]] std::optional<std::filesystem::path> execStartProgram(std::string_view unitText);

// Whether only root can replace the program at `path`: the file (a regular
// file after links) and every directory above it, along the path as written
// and along the path its links resolve to, are owned by user `owner` and not
// writable by group or others, a directory with the sticky bit excepted.
// Nothing when it is; else the first entry that fails.
[[nodiscard]] std::optional<std::filesystem::path> unprotectedEntry(const std::filesystem::path& path,
                                                                    uid_t owner = 0);

}  // namespace SystemdUnit

// The older installation on Linux: systemd has no separate authorization,
// so the authorization stands for running as root. Creating one always
// succeeds; its right is granted only when the effective user is root (there
// is no prompt: neither sudo nor pkexec is asked); blessing registers the
// helper through the registrar.
class SystemdLegacyHelperAuthorizer final : public LegacyHelperAuthorizer {
public:
    // errAuthorizationDenied, the status of a right that was not granted.
    static constexpr std::int32_t authorizationDenied = -60005;

    explicit SystemdLegacyHelperAuthorizer(std::shared_ptr<HelperServiceRegistrar> registrar)
        : registrar_(std::move(registrar)) {}

    [[nodiscard]] std::optional<Reference> create() override;
    [[nodiscard]] std::int32_t copyRight(Reference reference, std::string_view right, std::uint32_t flags) override;
    [[nodiscard]] std::optional<BlessFailure> bless(std::string_view label, Reference reference) override;
    void free(Reference reference) override;

private:
    std::shared_ptr<HelperServiceRegistrar> registrar_;
    std::mutex mutex_;
    Reference next_ = 1;
    std::optional<Reference> granted_;
};

}  // namespace tarnel
