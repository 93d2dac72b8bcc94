#include "app/state/subscription_import_commit_error.hpp"

namespace tarnel {

std::string SubscriptionImportCommitError::message() const {
    switch (case_) {
        case Case::forgottenDuringImport: return "the saved subscription was forgotten during the import.";
    }
    return "the saved subscription was forgotten during the import.";
}

}  // namespace tarnel
