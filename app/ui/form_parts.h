#pragma once

// Pieces the settings window and the welcome assistant share: text in the
// caption and secondary styles, page titles, a tick or warning with its
// line, and text fields that follow the model without losing the caret.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <string>

#include "app/ui/panel_parts.h"

namespace vsc {

QString qs(const std::string& text);

// Smaller text in the secondary colour, wrapped.
QLabel* captionLabel(const QString& text, QWidget* parent);
// Text in the secondary colour, wrapped.
QLabel* secondaryLabel(const QString& text, QWidget* parent);
// A page's bold title.
QLabel* pageTitle(const QString& text, QWidget* parent);
// A label's font at that share of the normal size.
void scaleFont(QWidget* widget, double factor, bool bold = false);

// Sets a field's text only when the model's differs, so typing is not
// disturbed by the model echoing what was typed.
void showText(QLineEdit* field, const std::string& text);
// Shows text in a label only when it differs (no relayout otherwise).
void showText(QLabel* label, const std::string& text);

// A tick or a warning triangle followed by its line, in green or orange.
class StateLine final : public QWidget {
  public:
    explicit StateLine(QWidget* parent = nullptr);
    void setState(RowTone tone, const QString& text);
    QString text() const { return label_->text(); }
    RowTone tone() const { return icon_->tone(); }

  private:
    RowIcon* icon_;
    QLabel* label_;
};

// A button whose action removes something: its label in red.
void makeDestructive(QPushButton* button);

}  // namespace vsc
