#include "app/tunnel/connect_support.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "app/tunnel/tunnel_runtime_files.hpp"
#include "common/base/error.hpp"
#include "common/contract/tailscale_compatibility_error.hpp"
#include "common/process/cancellation_error.hpp"

namespace tarnel {

namespace TunnelRuntimeFiles {

void removeFile(const std::filesystem::path& path) noexcept {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

void disconnectHelperAndRemoveConfiguration(const PrivilegedHelperOperations& helper,
                                            const std::filesystem::path& configuration, double timeout) {
    helper.disconnectTunnel(timeout, false);
    removeFile(configuration);
}

void disconnectHelperAndRemoveConfiguration(const PrivilegedHelperOperations& helper, double timeout) {
    disconnectHelperAndRemoveConfiguration(helper, tunnelConfigurationURL(), timeout);
}

}  // namespace TunnelRuntimeFiles

namespace TunnelStartupErrors {

namespace {

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `text` contains `word` (ASCII lower case) in any letter case.
// Lower-casing the whole text as Unicode would add no match: no character but
// the ASCII letters lowers to "c", "a", "n", "e" or "l", and none to "-" or a
// digit.
bool containsIgnoringCase(std::string_view text, std::string_view word) {
    const auto found = std::search(text.begin(), text.end(), word.begin(), word.end(),
                                   [](char a, char b) { return asciiLower(a) == b; });
    return found != text.end();
}

}  // namespace

bool isCandidateFailure(const std::exception& error) {
    if (dynamic_cast<const CancellationError*>(&error) != nullptr) return false;
    if (dynamic_cast<const TailscaleCompatibilityError*>(&error) != nullptr) return false;
    if (const auto* client = dynamic_cast<const PrivilegedHelperClientError*>(&error)) {
        return client->errorCase() == PrivilegedHelperClientError::Case::helperRejected &&
               !containsIgnoringCase(client->helperMessage(), "cancel");
    }
    const std::string description = errorMessage(error);
    return !containsIgnoringCase(description, "cancel") && !containsIgnoringCase(description, "-128");
}

bool isCandidateFailure(const std::exception_ptr& failure) {
    if (!failure) return false;
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return isCandidateFailure(error);
    } catch (...) {
        return isCandidateFailure(std::runtime_error(errorMessage(failure)));
    }
}

}  // namespace TunnelStartupErrors

}  // namespace tarnel
