#include "common/base/header_fields.hpp"

#include "common/base/ascii.hpp"

namespace tarnel {

std::optional<std::string> headerValue(const std::vector<HeaderField>& fields, std::string_view name) {
    std::optional<std::string> value;
    for (const auto& field : fields) {
        if (!ascii::equalIgnoringCase(field.name, name)) continue;
        if (value) {
            *value += ", ";
            *value += field.value;
        } else {
            value = field.value;
        }
    }
    return value;
}

}  // namespace tarnel
