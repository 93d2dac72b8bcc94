#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Readers of the system VPN tool's text: the list of VPN services
// ("scutil --nc list") and the status of one service ("scutil --nc status
// <service>"). The application reads the list to find a competing VPN and a
// connected Tailscale; the helper reads both to find Tailscale's service and
// its tunnel interface. The text comes from a program outside this system, so
// every reader is a pure function that never throws and answers nothing
// rather than guess.
//
// Text is read as UTF-8 scalar by scalar; a byte that is not part of a
// well-formed sequence is an ordinary character, never a separator.
namespace tarnel::PrivilegedHelperContract {

// The lines of a tool's output: the text split at every line break (U+000A to
// U+000D, U+0085, U+2028, U+2029; a CR LF pair is one break), empty lines
// dropped. The views point into `text`.
[[nodiscard]] std::vector<std::string_view> outputLines(std::string_view text);

// The fields of a line: the line split at every white-space character (the
// Unicode White_Space property: blanks, tabs, line breaks and the other
// spaces), empty fields dropped. The views point into `line`.
[[nodiscard]] std::vector<std::string_view> outputFields(std::string_view line);

// A connected VPN service of the service list.
struct ConnectedVPNService {
    std::string identifier;        // the service's UUID, upper case
    std::string name;              // the service's name as quoted on its line; empty when not quoted
    std::string bundleIdentifier;  // the VPN type: the application that provides the service

    friend bool operator==(const ConnectedVPNService&, const ConnectedVPNService&) = default;
};

// Every connected VPN service of the service list, in the order of its lines,
// whatever its type. A line is one when it holds "(Connected)" and its fields
// read "*", "(Connected)", a UUID (either letter case), "VPN" and "(" + type +
// ")" with a type of at least one character and no parenthesis; the name is
// the text between the first two double quotes after the type, spaces kept.
// Every other line is skipped.
[[nodiscard]] std::vector<ConnectedVPNService> connectedVPNServices(std::string_view scutilList);

// The identifier of the one connected VPN service of the VPN type
// `bundleIdentifier` in the service list, as upper-case UUID text. Its line
// reads "*", "(Connected)", the service's UUID (either letter case), "VPN",
// "(" + bundleIdentifier + ")" and then anything. Nothing when no line or more
// than one line mentions a connected service of that type, or when that line
// is not of this form.
[[nodiscard]] std::optional<std::string> connectedVPNServiceIdentifier(std::string_view scutilList,
                                                                       std::string_view bundleIdentifier);

// The tunnel interface that one line of a service's status names: exactly the
// three fields "InterfaceName", ":" and a tunnel interface name (utun and
// digits). Nothing for any other line.
[[nodiscard]] std::optional<std::string> tunnelInterfaceNameFromScutilLine(std::string_view line);

// The one tunnel interface that a service's status names; the same name on
// several lines counts once. Nothing when no line or lines with two different
// names name one.
[[nodiscard]] std::optional<std::string> tunnelInterfaceNameFromScutilStatus(std::string_view scutilStatus);

}  // namespace tarnel::PrivilegedHelperContract
