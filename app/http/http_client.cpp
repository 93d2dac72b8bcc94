#include "app/http/http_client.hpp"

#include "common/base/ascii.hpp"

namespace tarnel {

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    std::optional<std::string> value;
    for (const auto& field : headers) {
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
