#include "common/contract/helper_contract.hpp"

namespace tarnel::PrivilegedHelperContract {

void validateNetworkServiceName(std::string_view name) {
    // The length is counted in UTF-8 bytes, not characters: the name travels
    // as a command argument and into a state file as bytes.
    constexpr std::size_t maximumBytes = 128;
    if (name.empty() || name.size() > maximumBytes || containsControlCharacter(name)) {
        throw PrivilegedHelperContractError(PrivilegedHelperContractError::Case::invalidProxyService);
    }
}

}  // namespace tarnel::PrivilegedHelperContract
