#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>
#include <QWidget>

#include <string>
#include <string_view>

class QHBoxLayout;
class QVBoxLayout;

// Small building blocks of the window's views: an image, a capsule with an
// optional image and a text, a label with an image, and the panel card.
namespace tarnel::ui {

// The text as Qt's string.
[[nodiscard]] QString qt(std::string_view text);

// Gives `label` one text colour in every state (enabled, disabled, inactive
// window), so that a disabled row or panel keeps its colours.
void setTextColor(QWidget& widget, const QColor& colour);

// One image of symbol_icons.hpp drawn `pixelSize` pixels high in a colour.
class SymbolView final : public QWidget {
    Q_OBJECT

public:
    SymbolView(std::string_view name, int pixelSize, QColor colour, QWidget* parent = nullptr);

    void setSymbol(std::string_view name);
    void setColor(const QColor& colour);
    [[nodiscard]] const std::string& symbol() const noexcept { return name_; }
    [[nodiscard]] const QColor& color() const noexcept { return colour_; }

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::string name_;
    int pixelSize_;
    QColor colour_;
};

// A text, with an image before it when one is named, in a capsule filled
// with a colour at an opacity. Its accessible name is its text.
class CapsuleView : public QWidget {
    Q_OBJECT

public:
    struct Look {
        QFont font;
        QColor foreground;
        QColor fill;
        double fillOpacity = 0.1;
        int horizontalPadding = 8;
        int verticalPadding = 4;

        friend bool operator==(const Look&, const Look&) = default;
    };

    explicit CapsuleView(QWidget* parent = nullptr);

    void setContent(std::string_view text, std::string_view symbol, const Look& look);
    [[nodiscard]] const QString& text() const noexcept { return text_; }
    [[nodiscard]] const std::string& symbol() const noexcept { return symbol_; }
    [[nodiscard]] const Look& look() const noexcept { return look_; }

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    [[nodiscard]] int symbolSide() const;

    QString text_;
    std::string symbol_;
    Look look_;
};

// One line of text in a font and colour, drawn the same whether enabled or
// not (a route row that a route test disables keeps its look); elided at the
// right when narrow.
class TextView final : public QWidget {
    Q_OBJECT

public:
    TextView(const QFont& font, QColor colour, QWidget* parent = nullptr);

    void setText(const QString& text);
    [[nodiscard]] const QString& text() const noexcept { return text_; }

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    QColor colour_;
};

// A text with an image before it, wrapping onto more lines when narrow. Its
// accessible name is its text.
class IconLabel final : public QWidget {
    Q_OBJECT

public:
    IconLabel(std::string_view symbol, const QFont& font, QColor colour, QWidget* parent = nullptr);

    void setText(const QString& text);
    [[nodiscard]] QString text() const;
    [[nodiscard]] QLabel& label() noexcept { return *label_; }
    [[nodiscard]] SymbolView& image() noexcept { return *image_; }

private:
    SymbolView* image_;
    QLabel* label_;
};

// The panels' card: the content padded by 16 pixels on a rounded background
// (radius 12) of the control background at 0.92, outlined in the secondary
// colour at 0.14.
class PanelCard final : public QWidget {
    Q_OBJECT

public:
    PanelCard(int spacing, QWidget* parent = nullptr);

    [[nodiscard]] QVBoxLayout& content() noexcept { return *content_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* content_;
};

// The header of a panel that opens and closes: a flat button of the panel's
// image and title, a gap, and a chevron that points up while the panel is
// open. Its accessible name is its title.
class DisclosureHeader final : public QAbstractButton {
    Q_OBJECT

public:
    DisclosureHeader(std::string_view symbol, QWidget* parent = nullptr);

    void setTitle(const QString& title);
    void setOpen(bool open);
    [[nodiscard]] QString title() const;
    [[nodiscard]] SymbolView& image() noexcept { return *image_; }
    [[nodiscard]] SymbolView& chevron() noexcept { return *chevron_; }

    [[nodiscard]] QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    SymbolView* image_;
    QLabel* title_;
    SymbolView* chevron_;
};

}  // namespace tarnel::ui
