// The privileged helper, app.tarnel.direct.helper: runs as root, reconciles
// what an earlier run left, then serves the application on its socket for
// ever. It takes no arguments and reads none; everything it uses has its
// production value here.

#include <unistd.h>

#include <iostream>
#include <memory>

#include "common/base/ecdsa.hpp"
#include "common/base/error.hpp"
#include "helper/program/pinned_anchor.hpp"
#include "helper/service/helper_program.hpp"
#include "helper/service/privileged_helper_protocol.hpp"
#include "platform/codesign/local_code_signing.hpp"
#include "platform/sysconfig/system_configuration.hpp"

namespace {

using namespace tarnel;

// Where the emulated system configuration store lives on this host.
constexpr std::string_view systemConfigurationRoot = "/Library/Preferences/SystemConfiguration/app.tarnel.direct";

HelperEnvironment productionEnvironment() {
    HelperEnvironment environment;
    environment.runtime.codeSigning =
        std::make_shared<codesign::LocalCodeSigning>(ecdsa::P256PublicKey::fromSPKI(HelperProgram::pinnedAnchorSPKI()));
    environment.runtime.systemConfiguration =
        std::make_shared<sysconfig::FileSystemConfiguration>(std::filesystem::path(systemConfigurationRoot));
    environment.socketPath = ipc::socketPath(ipc::defaultSocketDirectory, PrivilegedHelperProtocol::serviceName);
    return environment;
}

}  // namespace

int main() {
    if (::geteuid() != 0) return 1;
    try {
        return HelperProgram::run(productionEnvironment());
    } catch (const std::exception& error) {
        std::cerr << "app.tarnel.direct.helper: " << errorMessage(error) << '\n';
        return 1;
    }
}
