#pragma once

#include <QDialog>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/catalog/route_model.hpp"
#include "app/ui/app_language.hpp"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QStackedWidget;
class QToolButton;
class QVBoxLayout;

namespace tarnel {

class AppState;
class EmptyRoutesView;
class InfoChip;
class RouteRow;
class StatusPill;
namespace ui {
class CapsuleView;
class DisclosureHeader;
class IconLabel;
class SymbolView;
}  // namespace ui

// What the window hands the account portal sheet it presents.
struct AccountPortalSheetRequest {
    std::string url;
    // "ru" or "en".
    std::string language;
    // A handoff link caught in the sheet.
    std::function<void(const std::string& url)> onHandoff;
    // Closes the sheet: the portal address becomes none.
    std::function<void()> onClose;
};

// Makes the sheet as a dialog over `parent`; the window shows it
// window-modal and deletes it once the portal address is none again.
using AccountPortalSheetFactory = std::function<QDialog*(const AccountPortalSheetRequest& request, QWidget* parent)>;

// The application's window: on the left the header, the status card and the
// routes panel; on the right the access key, advanced and diagnostics panels.
// It keeps only its three flags (advanced and diagnostics open, the key
// shown): on every change signal of the application state, and of the
// language, it reads every text, enabled state and visibility again, and
// each control calls its one operation of the state.
class ContentView final : public QWidget {
    Q_OBJECT

public:
    ContentView(AppState& state, LanguageSetting& language, AccountPortalSheetFactory sheetFactory = {},
                QWidget* parent = nullptr);
    ~ContentView() override;

    // The language every text is chosen by.
    [[nodiscard]] AppLanguage language() const;

    [[nodiscard]] bool showingAdvanced() const noexcept { return showingAdvanced_; }
    [[nodiscard]] bool showingDiagnostics() const noexcept { return showingDiagnostics_; }
    [[nodiscard]] bool showingAccessKey() const noexcept { return showingAccessKey_; }

    // Shows the account portal sheet of the state's portal address over this
    // window; nothing when none is set, a sheet is already shown or no
    // factory was given.
    void presentAccountPortalSheet();
    // The sheet shown over this window, if any.
    [[nodiscard]] QDialog* accountPortalSheet() const { return sheet_; }

    // The views that tests and the screenshots look at.
    [[nodiscard]] StatusPill& statusPill() const noexcept { return *pill_; }
    [[nodiscard]] QWidget& rightColumn() const noexcept { return *rightColumn_; }
    [[nodiscard]] QWidget& headerRow() const noexcept { return *header_; }
    [[nodiscard]] std::vector<RouteRow*> routeRows() const { return rows_; }
    [[nodiscard]] EmptyRoutesView& emptyRoutesView() const noexcept { return *emptyRoutes_; }
    [[nodiscard]] ui::IconLabel& noticeLabel() const noexcept { return *notice_; }
    [[nodiscard]] ui::IconLabel& retryHintLabel() const noexcept { return *retryHint_; }
    [[nodiscard]] QLabel& headlineLabel() const noexcept { return *headline_; }
    [[nodiscard]] QLabel& routeLineLabel() const noexcept { return *routeLine_; }
    [[nodiscard]] ui::CapsuleView& routeCount() const noexcept { return *routeCount_; }
    [[nodiscard]] QProgressBar& routeTestBar() const noexcept { return *progressBar_; }
    [[nodiscard]] QLabel& routeTestFigure() const noexcept { return *progressFigure_; }
    [[nodiscard]] QLabel& routeTestRouteName() const noexcept { return *progressRouteName_; }
    [[nodiscard]] QLineEdit& accessKeyField() const noexcept { return *keyField_; }
    [[nodiscard]] QLabel& savedAccessHintLabel() const noexcept { return *savedHint_; }
    [[nodiscard]] QLabel& accountMessageLabel() const noexcept { return *accountMessage_; }
    [[nodiscard]] ui::DisclosureHeader& advancedHeader() const noexcept { return *advancedHeader_; }
    [[nodiscard]] ui::DisclosureHeader& diagnosticsHeader() const noexcept { return *diagnosticsHeader_; }
    [[nodiscard]] QWidget& advancedContent() const noexcept { return *advancedContent_; }
    [[nodiscard]] QWidget& diagnosticsContent() const noexcept { return *diagnosticsContent_; }
    [[nodiscard]] QLabel& currentRouteLabel() const noexcept { return *currentRoute_; }
    [[nodiscard]] QPlainTextEdit& logView() const noexcept { return *log_; }

signals:
    // The sheet caught a handoff link (and has closed).
    void handoffCaught(const std::string& url);

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildLeftColumn();
    QWidget* buildHeader();
    QWidget* buildStatusCard();
    QWidget* buildRoutesPanel();
    QWidget* buildRightColumn();
    QWidget* buildAccessKeyPanel();
    QWidget* buildAdvancedPanel();
    QWidget* buildDiagnosticsPanel();

    // Reads everything the window shows from the state and the language.
    void refresh();
    void refreshRoutes(AppLanguage language);
    // The right column's part of refresh().
    void refreshPanels(AppLanguage language);
    void refreshLog();
    void setPanelOpen(QWidget& content, bool open);

    void refreshPressed();
    void accountPortalSheetHandoff(const std::string& url);
    void accountPortalSheetFinished();
    void closeAccountPortalSheet();

    AppState& state_;
    LanguageSetting& languageSetting_;
    AccountPortalSheetFactory sheetFactory_;

    // The window's own state.
    bool showingAdvanced_ = false;
    bool showingDiagnostics_ = false;
    bool showingAccessKey_ = false;

    QPointer<QDialog> sheet_;

    // Left column.
    QWidget* header_ = nullptr;
    QLabel* subtitle_ = nullptr;
    QButtonGroup* languagePicker_ = nullptr;
    StatusPill* pill_ = nullptr;
    QLabel* headline_ = nullptr;
    QLabel* routeLine_ = nullptr;
    ui::IconLabel* notice_ = nullptr;
    ui::IconLabel* retryHint_ = nullptr;
    QPushButton* connect_ = nullptr;
    QPushButton* disconnect_ = nullptr;
    InfoChip* methodsChip_ = nullptr;
    QLabel* routesTitle_ = nullptr;
    QPushButton* testAll_ = nullptr;
    QPushButton* stopTest_ = nullptr;
    QPushButton* refresh_ = nullptr;
    ui::CapsuleView* routeCount_ = nullptr;
    QWidget* progress_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QLabel* progressFigure_ = nullptr;
    QLabel* progressRouteName_ = nullptr;
    QStackedWidget* routeList_ = nullptr;
    EmptyRoutesView* emptyRoutes_ = nullptr;
    QWidget* rowsContainer_ = nullptr;
    QVBoxLayout* rowsLayout_ = nullptr;
    std::vector<RouteRow*> rows_;
    std::vector<RouteListItem> shownItems_;

    // Right column.
    QWidget* rightColumn_ = nullptr;
    QLabel* accessKeyTitle_ = nullptr;
    QLineEdit* keyField_ = nullptr;
    QToolButton* reveal_ = nullptr;
    QLabel* savedHint_ = nullptr;
    QPushButton* paste_ = nullptr;
    QPushButton* import_ = nullptr;
    QToolButton* forget_ = nullptr;
    QLabel* note_ = nullptr;
    QPushButton* account_ = nullptr;
    QPushButton* support_ = nullptr;
    QLabel* accountMessage_ = nullptr;
    ui::DisclosureHeader* advancedHeader_ = nullptr;
    QWidget* advancedContent_ = nullptr;
    QLabel* modeLabel_ = nullptr;
    QWidget* modePicker_ = nullptr;
    QButtonGroup* modeButtons_ = nullptr;
    QCheckBox* manageProxy_ = nullptr;
    QLineEdit* proxyService_ = nullptr;
    QPushButton* writeConfig_ = nullptr;
    ui::DisclosureHeader* diagnosticsHeader_ = nullptr;
    QWidget* diagnosticsContent_ = nullptr;
    QLabel* currentRouteCaption_ = nullptr;
    QLabel* currentRoute_ = nullptr;
    QPlainTextEdit* log_ = nullptr;
    std::string shownLog_;
};

}  // namespace tarnel
