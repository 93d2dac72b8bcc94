#include "app/http/http_client.hpp"

namespace tarnel {

std::optional<std::string> HttpResponse::header(std::string_view name) const { return headerValue(headers, name); }

}  // namespace tarnel
