#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "app/ui/account_portal_sheet.hpp"

class QDialog;
class QWebEngineProfile;

namespace tarnel {

struct AccountPortalSheetRequest;  // content_view.hpp

// The web engine behind the account portal sheet: one named, persistent
// profile per process, shared by every presentation, and the views made on
// it.
struct AccountPortalEngineSettings {
    // The profile's name.
    static constexpr const char* kProfileName = "TarnelDirectPortal";

    // Where the profile keeps its cookies, storage and cache.
    std::filesystem::path storageDirectory;
    // Appended to the engine's own user agent after a space:
    // accountPortalUserAgentProduct of the running bundle.
    std::string userAgentProduct;

    // The user's data directory ("AccountPortal" in Application Support) and
    // the running bundle's version.
    [[nodiscard]] static AccountPortalEngineSettings production();
};

// "TarnelDirect/" + the CFBundleShortVersionString of the information
// property list at `infoPlist`, or "TarnelDirect/unknown" when there is no
// property list, the entry is missing or not a string, or it holds a
// character that a header may not carry.
[[nodiscard]] std::string accountPortalUserAgentProduct(const std::optional<std::filesystem::path>& infoPlist);

// Call before the QApplication is made: the engine's views share their GL
// contexts with the application.
void prepareAccountPortalEngine();

// The process's portal profile, made on the first call with `settings`
// (later calls give the same profile and ignore theirs); the application
// owns it. Pages may open windows from scripts, every unknown scheme a page
// navigates to is put to the navigation policy, and persistent cookies are
// kept.
[[nodiscard]] QWebEngineProfile& accountPortalProfile(const AccountPortalEngineSettings& settings);

// Makes the sheet's views on `profile`: a QWebEngineView whose page puts
// every navigation to the sheet's coordinator, never opens a second window
// and refuses every certificate error.
[[nodiscard]] AccountPortalViewFactory accountPortalEngineViews(QWebEngineProfile& profile);

// The sheets the window presents, on the engine: each an AccountPortalSheet
// whose views use the process's profile, made with the production settings
// at the first presentation. When the profile's settings cannot be found (no
// home directory), no sheet is made and the reason goes to standard error.
// (An AccountPortalSheetFactory of the window.)
[[nodiscard]] std::function<QDialog*(const AccountPortalSheetRequest& request, QWidget* parent)>
accountPortalEngineSheets(std::string accountHost, AccountPortalURLOpener openURL);

}  // namespace tarnel
