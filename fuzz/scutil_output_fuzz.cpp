// The readers of the system VPN tool's text (the service list and a service's
// status): both programs run them on another program's output. They never
// throw or crash, and what they find is in the text: a canonical UUID that
// the list holds in some letter case, a tunnel interface name that the status
// holds as written.

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/base/uuid.hpp"
#include "common/contract/interface_names.hpp"
#include "common/contract/vpn_service_list.hpp"
#include "fuzz/fuzz_support.hpp"

using namespace tarnel;
using tarnel::fuzz::require;
namespace Contract = tarnel::PrivilegedHelperContract;

namespace {

std::string asciiUppercased(std::string_view text) {
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
    return upper;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::bytesOf(data, size);

    std::size_t fieldBytes = 0;
    for (const std::string_view line : Contract::outputLines(text)) {
        require(!line.empty(), "no line is empty");
        require(line.find_first_of("\n\r\v\f") == std::string_view::npos, "a line holds no ASCII line break");
        for (const std::string_view field : Contract::outputFields(line)) {
            require(!field.empty(), "no field is empty");
            require(field.find_first_of(" \t") == std::string_view::npos, "a field holds no blank or tab");
            fieldBytes += field.size();
        }
    }
    require(fieldBytes <= text.size(), "fields are pieces of the text");

    if (const auto identifier = Contract::connectedVPNServiceIdentifier(text, "io.tailscale.ipn.macsys")) {
        const auto uuid = Uuid::parse(*identifier);
        require(uuid && uuid->text() == *identifier, "the identifier is a canonical UUID");
        require(asciiUppercased(text).find(*identifier) != std::string::npos, "the identifier is in the list");
        require(text.find("(Connected)") != std::string_view::npos, "the service is connected");
    }
    if (const auto name = Contract::tunnelInterfaceNameFromScutilStatus(text)) {
        require(InterfaceNames::isTunnel(*name), "the interface is a tunnel interface");
        require(text.find(*name) != std::string_view::npos, "the interface is in the status");
        require(text.find("InterfaceName") != std::string_view::npos, "the status names the interface");
    }
    require(Contract::connectedVPNServiceIdentifier(text, "io.tailscale.ipn.macsys") ==
                Contract::connectedVPNServiceIdentifier(text, "io.tailscale.ipn.macsys"),
            "the list reader is deterministic");
    return 0;
}
