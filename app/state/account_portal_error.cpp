#include "app/state/account_portal_error.hpp"

namespace tarnel {

std::string DirectAccountPortalError::message() const {
    switch (case_) {
        case Case::invalidAccessLink: return "Сначала импортируйте актуальную ссылку доступа.";
        case Case::unavailable: break;
    }
    return "Личный кабинет временно недоступен.";
}

}  // namespace tarnel
