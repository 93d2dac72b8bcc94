#include "app/http/http_client.hpp"

#include <algorithm>

namespace tarnel {

bool equalIgnoringAsciiCase(std::string_view left, std::string_view right) noexcept {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::equal(left.begin(), left.end(), right.begin(), right.end(),
                      [&](char a, char b) { return lower(a) == lower(b); });
}

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    std::optional<std::string> value;
    for (const auto& field : headers) {
        if (!equalIgnoringAsciiCase(field.name, name)) continue;
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
