#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel {

// One header field of an HTTP request or response, as sent or received.
struct HeaderField {
    std::string name;
    std::string value;

    friend bool operator==(const HeaderField&, const HeaderField&) = default;
};

// The value of the field `name` among `fields` (ASCII letter case ignored);
// the values of a repeated field joined by ", " in the order received;
// nothing without one.
[[nodiscard]] std::optional<std::string> headerValue(const std::vector<HeaderField>& fields, std::string_view name);

}  // namespace tarnel
