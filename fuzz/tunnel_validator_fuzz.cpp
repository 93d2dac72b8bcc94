// PrivilegedTunnelConfigurationValidator::validate: runs as root on bytes from
// another process, so it must never crash and fails only with its own error or
// the JSON reader's. What it accepts, it reads from the document: the
// endpoint is the proxy outbounds' server (a substring of the input whenever
// the input holds no JSON escape), the port theirs, the interface the pinned
// one.

#include <cstddef>
#include <cstdint>

#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/contract/tunnel_configuration_validator.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/json_mutator.hpp"

using namespace tarnel;
using tarnel::fuzz::require;
namespace Validator = tarnel::PrivilegedTunnelConfigurationValidator;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::bytesOf(data, size);
    Validator::Result result;
    try {
        result = Validator::validate(text);
    } catch (const PrivilegedHelperContractError&) {
        return 0;
    } catch (const json::JsonError&) {
        return 0;
    }

    require(!result.endpoint.empty(), "an accepted configuration names an endpoint");
    if (text.find('\\') == std::string_view::npos) {
        require(text.find(result.endpoint) != std::string_view::npos, "the endpoint is a substring of the input",
                result.endpoint);
    }
    require(result.endpointPort >= 1 && result.endpointPort <= 65535, "the port is in range");

    // The facts are the document's own.
    const json::Value document = json::parse(text);
    bool serverFound = false;
    for (const json::Value& outbound : document.at("outbounds")) {
        const auto server = outbound.find("server");
        if (server == outbound.end()) continue;
        require(server->is_string() && server->get<std::string>() == result.endpoint,
                "every proxy server is the endpoint");
        require(outbound.at("server_port").get<double>() == result.endpointPort, "every proxy port is the port");
        serverFound = true;
    }
    require(serverFound, "the endpoint comes from an outbound");
    const json::Value& route = document.at("route");
    if (result.defaultInterface) {
        require(route.at("default_interface") == *result.defaultInterface, "the interface is the pinned one");
    } else {
        require(route.at("auto_detect_interface") == true && !route.contains("default_interface"),
                "no interface means automatic detection");
    }

    // Accepting is a pure function of the bytes.
    require(Validator::validate(text) == result, "validate is deterministic");
    return 0;
}
