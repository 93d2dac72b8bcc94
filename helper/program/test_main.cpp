// The test helper program (tests and the demo): the production helper's body
// over an environment read from variables, so that the tests never touch the
// production paths.
//
//   TARNEL_HELPER_RUNTIME_DIRECTORY       the runtime directory
//   TARNEL_HELPER_SOCKET                  the socket's path
//   TARNEL_HELPER_ANCHOR                  the code-signing anchor (anchor.spki.der)
//   TARNEL_HELPER_SYSTEM_CONFIGURATION    the root of the emulated system configuration store
//   TARNEL_HELPER_TOOLS                   a directory of tools by short name (route, pfctl, ...);
//                                         each one present replaces the system's
//   TARNEL_HELPER_LOG                     a file that receives every log line
//   TARNEL_HELPER_FAULT                   "kill-after-runtime-launch": the program kills
//                                         itself (SIGKILL) right after a start launched the
//                                         runtime, before anything of it is recorded
//
// The runtime directory, the socket and the system configuration must be
// given: the program never falls back to the production paths. Without an
// anchor no application is admitted; without a tools directory the tools are
// the system's own.

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "common/base/ecdsa.hpp"
#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "common/base/log.hpp"
#include "common/process/system_tools.hpp"
#include "helper/service/helper_program.hpp"
#include "helper/service/privileged_helper_protocol.hpp"
#include "platform/codesign/local_code_signing.hpp"
#include "platform/sysconfig/system_configuration.hpp"

namespace {

using namespace tarnel;
namespace fs = std::filesystem;

std::optional<std::string> variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

// Appends "<category> <text>" lines to a file, opened at the first line.
class FileLogSink final : public LogSink {
public:
    explicit FileLogSink(fs::path path) : path_(std::move(path)) {}
    void write(const LogEntry& entry) override {
        const std::lock_guard lock(mutex_);
        std::ofstream(path_, std::ios::app) << entry.category << ' ' << entry.text << '\n';
    }

private:
    std::mutex mutex_;
    fs::path path_;
};

std::string required(const char* name) {
    std::optional<std::string> value = variable(name);
    if (!value || value->empty()) throw std::invalid_argument(std::string(name) + " is not set");
    return *value;
}

HelperEnvironment environmentFromVariables() {
    HelperEnvironment environment;
    environment.runtime.runtimeDirectory = required("TARNEL_HELPER_RUNTIME_DIRECTORY");
    environment.socketPath = required("TARNEL_HELPER_SOCKET");
    std::optional<ecdsa::P256PublicKey> anchor;
    if (auto path = variable("TARNEL_HELPER_ANCHOR")) {
        if (auto bytes = files::readIfExists(*path)) anchor = ecdsa::P256PublicKey::fromSPKI(*bytes);
    }
    environment.runtime.codeSigning = std::make_shared<codesign::LocalCodeSigning>(anchor);
    environment.runtime.systemConfiguration =
        std::make_shared<sysconfig::FileSystemConfiguration>(required("TARNEL_HELPER_SYSTEM_CONFIGURATION"));
    if (auto tools = variable("TARNEL_HELPER_TOOLS")) {
        for (const auto& [systemPath, name] : SystemTools::toolsByShortName()) {
            const fs::path candidate = fs::path(*tools) / name;
            if (fs::exists(candidate)) environment.toolPaths.emplace(std::string(systemPath), candidate);
        }
    }
    if (auto log = variable("TARNEL_HELPER_LOG")) environment.logSink = std::make_shared<FileLogSink>(*log);
    if (const auto fault = variable("TARNEL_HELPER_FAULT")) {
        if (*fault != "kill-after-runtime-launch") throw std::invalid_argument("unknown TARNEL_HELPER_FAULT " + *fault);
        environment.runtime.afterRuntimeLaunch = [](std::int32_t) { ::raise(SIGKILL); };
    }
    return environment;
}

}  // namespace

int main() {
    // Not root: refused before anything is read, let alone created.
    if (::geteuid() != 0) return 1;
    try {
        return HelperProgram::run(environmentFromVariables());
    } catch (const std::exception& error) {
        std::cerr << "tarnel-helper-test: " << errorMessage(error) << '\n';
        return 1;
    }
}
