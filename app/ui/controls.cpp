#include "app/ui/controls.hpp"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QVariant>

#include "app/ui/symbol_icons.hpp"
#include "app/ui/ui_style.hpp"
#include "app/ui/widgets.hpp"

namespace tarnel::ui {

int controlHeight(ControlSize size) {
    switch (size) {
        case ControlSize::small: return 22;
        case ControlSize::regular: return 26;
        case ControlSize::large: return 32;
    }
    return 26;
}

QPushButton* makeButton(QWidget* parent, std::string_view symbol, ButtonKind kind, ControlSize size,
                        const char* identifier) {
    auto* button = new QPushButton(parent);
    if (identifier != nullptr) button->setObjectName(QString::fromUtf8(identifier));
    button->setAutoDefault(false);
    button->setFont(size == ControlSize::small ? ui::systemFont(11) : ui::font(TextStyle::body));
    button->setFixedHeight(controlHeight(size));
    const int imageSide = size == ControlSize::small ? 13 : 15;
    button->setIconSize(QSize(imageSide, imageSide));
    QColor foreground = ui::color(ColorName::primary, button->palette());
    if (kind == ButtonKind::prominent) {
        const QColor accent = ui::color(ColorName::accent, button->palette());
        QPalette palette = button->palette();
        for (const auto group : {QPalette::Active, QPalette::Inactive}) {
            palette.setColor(group, QPalette::Button, accent);
            palette.setColor(group, QPalette::ButtonText, Qt::white);
        }
        palette.setColor(QPalette::Disabled, QPalette::Button,
                         ui::blend(accent, 0.45, ui::windowBackground(button->palette())));
        palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(255, 255, 255, 200));
        button->setPalette(palette);
        foreground = Qt::white;
    }
    button->setIcon(ui::symbolIcon(symbol, foreground));
    ui::setSystemImage(*button, symbol);
    return button;
}

QToolButton* makeImageButton(QWidget* parent, std::string_view symbol, const char* identifier) {
    auto* button = new QToolButton(parent);
    button->setObjectName(QString::fromUtf8(identifier));
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    button->setFixedSize(controlHeight(ControlSize::regular) + 4, controlHeight(ControlSize::regular));
    button->setIconSize(QSize(15, 15));
    button->setIcon(ui::symbolIcon(symbol, ui::color(ColorName::primary, button->palette())));
    ui::setSystemImage(*button, symbol);
    return button;
}

void setImage(QAbstractButton& button, std::string_view symbol, const QColor& colour) {
    if (button.property(ui::kSystemImageProperty).toString() == qt(symbol)) return;
    button.setIcon(ui::symbolIcon(symbol, colour));
    ui::setSystemImage(button, symbol);
}

void setLabel(QAbstractButton& button, const QString& text) {
    if (button.text() != text) button.setText(text);
    button.setAccessibleName(text);
}

void setLabel(QLabel& label, const QString& text) {
    if (label.text() != text) label.setText(text);
}

void setPlaceholder(QLineEdit& field, const QString& text) {
    field.setPlaceholderText(text);
    field.setAccessibleName(text);
}

QLabel* makeLabel(QWidget* parent, const QFont& font, std::optional<QColor> colour) {
    auto* label = new QLabel(parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    if (colour) ui::setTextColor(*label, *colour);
    return label;
}

QButtonGroup* makeSegments(QWidget* picker, std::initializer_list<const char*> items) {
    auto* group = new QButtonGroup(picker);
    group->setExclusive(true);
    auto* layout = new QHBoxLayout(picker);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    int id = 0;
    for (const char* item : items) {
        auto* button = new QPushButton(QString::fromUtf8(item), picker);
        button->setCheckable(true);
        button->setAutoDefault(false);
        button->setFont(ui::font(TextStyle::callout));
        button->setFixedHeight(controlHeight(ControlSize::regular) - 2);
        button->setAccessibleName(button->text());
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        group->addButton(button, id++);
        layout->addWidget(button);
    }
    return group;
}

}  // namespace tarnel::ui
