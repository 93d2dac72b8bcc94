#include "app/catalog/direct_app_error.hpp"

namespace tarnel {

DirectAppError DirectAppError::httpStatus(std::int64_t statusCode) {
    return DirectAppError(Case::httpStatus, statusCode);
}

DirectAppError DirectAppError::invalidUTF8() { return DirectAppError(Case::invalidUTF8, 0); }

DirectAppError DirectAppError::invalidResponse() { return DirectAppError(Case::invalidResponse, 0); }

std::string DirectAppError::message() const {
    switch (case_) {
        case Case::httpStatus:
            return "Subscription download failed with HTTP " + std::to_string(statusCode_) + ".";
        case Case::invalidUTF8: return "Subscription response is not valid UTF-8.";
        case Case::invalidResponse: return "Subscription server returned an invalid response.";
    }
    return "Subscription server returned an invalid response.";
}

}  // namespace tarnel
