#include "common/contract/vpn_service_list.hpp"

#include <utility>

#include "common/base/utf8.hpp"
#include "common/base/uuid.hpp"
#include "common/contract/interface_names.hpp"

namespace tarnel::PrivilegedHelperContract {

std::vector<std::string_view> outputLines(std::string_view text) {
    return utf8::nonEmptyPieces(text, utf8::isLineBreak);
}

std::vector<std::string_view> outputFields(std::string_view line) {
    return utf8::nonEmptyPieces(line, utf8::isWhiteSpace);
}

std::optional<std::string> connectedVPNServiceIdentifier(std::string_view scutilList,
                                                         std::string_view bundleIdentifier) {
    const std::string typeField = "(" + std::string(bundleIdentifier) + ")";
    const std::string typeText = "VPN " + typeField;
    std::optional<std::string_view> connected;
    for (const std::string_view line : outputLines(scutilList)) {
        if (line.find("(Connected)") == std::string_view::npos || line.find(typeText) == std::string_view::npos) {
            continue;
        }
        if (connected) {
            return std::nullopt;  // two connected services of the type: neither is trusted
        }
        connected = line;
    }
    if (!connected) {
        return std::nullopt;
    }
    const auto fields = outputFields(*connected);
    if (fields.size() < 5 || fields[0] != "*" || fields[1] != "(Connected)" || fields[3] != "VPN" ||
        fields[4] != typeField) {
        return std::nullopt;
    }
    const auto identifier = Uuid::parse(fields[2]);
    if (!identifier) {
        return std::nullopt;
    }
    return identifier->text();
}

std::vector<ConnectedVPNService> connectedVPNServices(std::string_view scutilList) {
    std::vector<ConnectedVPNService> services;
    for (const std::string_view line : outputLines(scutilList)) {
        if (line.find("(Connected)") == std::string_view::npos) continue;
        const auto fields = outputFields(line);
        if (fields.size() < 5 || fields[0] != "*" || fields[1] != "(Connected)" || fields[3] != "VPN") continue;
        const std::string_view typeField = fields[4];
        if (typeField.size() < 3 || typeField.front() != '(' || typeField.back() != ')') continue;
        const std::string_view type = typeField.substr(1, typeField.size() - 2);
        if (type.find_first_of("()") != std::string_view::npos) continue;
        const auto identifier = Uuid::parse(fields[2]);
        if (!identifier) continue;

        // The fields are views into the line: the name is looked for after the type field.
        const auto afterType = static_cast<std::size_t>(typeField.data() - line.data()) + typeField.size();
        const std::string_view rest = line.substr(afterType);
        std::string name;
        if (const std::size_t open = rest.find('"'); open != std::string_view::npos) {
            if (const std::size_t close = rest.find('"', open + 1); close != std::string_view::npos) {
                name = rest.substr(open + 1, close - open - 1);
            }
        }
        services.push_back({identifier->text(), std::move(name), std::string(type)});
    }
    return services;
}

std::optional<std::string> tunnelInterfaceNameFromScutilLine(std::string_view line) {
    const auto fields = outputFields(line);
    if (fields.size() != 3 || fields[0] != "InterfaceName" || fields[1] != ":" || !InterfaceNames::isTunnel(fields[2])) {
        return std::nullopt;
    }
    return std::string(fields[2]);
}

std::optional<std::string> tunnelInterfaceNameFromScutilStatus(std::string_view scutilStatus) {
    std::optional<std::string> found;
    for (const std::string_view line : outputLines(scutilStatus)) {
        auto name = tunnelInterfaceNameFromScutilLine(line);
        if (!name) continue;
        if (found && *found != *name) {
            return std::nullopt;
        }
        found = std::move(name);
    }
    return found;
}

}  // namespace tarnel::PrivilegedHelperContract
