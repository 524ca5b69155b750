#include "app/ui/form_parts.h"

#include <QHBoxLayout>

namespace vsc {
namespace {

// Text colours dark enough to read on the window's light grey; the symbols
// beside them keep the bright tones.
const QColor kGreenText(0x1b, 0x7a, 0x34);
const QColor kOrangeText(0xa8, 0x52, 0x00);
const QColor kRedText(0xc4, 0x22, 0x1a);

void setTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::ButtonText, colour);
    widget->setPalette(palette);
}

}  // namespace

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

void scaleFont(QWidget* widget, double factor, bool bold) {
    QFont font = widget->font();
    font.setPointSizeF(font.pointSizeF() * factor);
    if (bold) font.setBold(true);
    widget->setFont(font);
}

QLabel* captionLabel(const QString& text, QWidget* parent) {
    auto* label = secondaryLabel(text, parent);
    scaleFont(label, 0.88);
    return label;
}

QLabel* secondaryLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    makeSecondary(label);
    return label;
}

QLabel* pageTitle(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    scaleFont(label, 1.45, true);
    return label;
}

void showText(QLineEdit* field, const std::string& text) {
    const QString wanted = qs(text);
    if (field->text() != wanted) field->setText(wanted);
}

void showText(QLabel* label, const std::string& text) {
    const QString wanted = qs(text);
    if (label->text() != wanted) label->setText(wanted);
}

StateLine::StateLine(QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    icon_ = new RowIcon(this);
    label_ = new QLabel(this);
    label_->setWordWrap(true);
    row->addWidget(icon_, 0, Qt::AlignTop);
    row->addWidget(label_, 1);
}

void StateLine::setState(RowTone tone, const QString& text) {
    icon_->setTone(tone);
    if (label_->text() != text) label_->setText(text);
    setTextColour(label_, tone == RowTone::ok        ? kGreenText
                          : tone == RowTone::warning ? kOrangeText
                                                     : panel_colors::secondary());
}

void makeDestructive(QPushButton* button) {
    setTextColour(button, kRedText);
}

}  // namespace vsc
