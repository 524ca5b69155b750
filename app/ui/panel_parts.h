#pragma once

// The small painted pieces of the status panel.
#include <QAbstractButton>
#include <QColor>
#include <QImage>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include "app/model/menu_bar_status.h"

namespace vsc {

// The colours the panel uses beside the palette's own.
namespace panel_colors {
QColor secondary();  // the text colour, faded
QColor accent();
inline const QColor kGreen(0x34, 0xc7, 0x59);
inline const QColor kOrange(0xff, 0x95, 0x00);
inline const QColor kRed(0xff, 0x3b, 0x30);
}  // namespace panel_colors

// Shows text in the secondary colour.
void makeSecondary(QLabel* label);

// A label limited to one line that ends in "…" when its text does not fit.
class ElidedLabel final : public QLabel {
  public:
    using QLabel::QLabel;
    void setFullText(const QString& text);
    QString fullText() const { return full_; }
    QSize minimumSizeHint() const override;

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void elide();
    QString full_;
};

// The tone of a status line: a check, a warning triangle or a dashed circle.
class RowIcon final : public QWidget {
  public:
    explicit RowIcon(QWidget* parent = nullptr);
    void setTone(RowTone tone);
    RowTone tone() const { return tone_; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    RowTone tone_ = RowTone::neutral;
};

// The programme sound's level: a faint track and a bar level × width wide.
class LevelMeter final : public QWidget {
  public:
    explicit LevelMeter(QWidget* parent = nullptr);
    void setLevel(double level);
    double level() const { return level_; }
    QColor barColor() const;

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    double level_ = 0;
};

// "ON AIR" or "OFF AIR" on a capsule.
class OnAirBadge final : public QWidget {
  public:
    explicit OnAirBadge(QWidget* parent = nullptr);
    void setOnAir(bool onAir);
    QString text() const;
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    bool onAir_ = false;
};

// A small indeterminate progress indicator; it turns only while shown.
class Spinner final : public QWidget {
  public:
    explicit Spinner(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent*) override;
    void hideEvent(QHideEvent*) override;

  private:
    QTimer timer_;
    int angle_ = 0;
};

// The start/stop button: a filled rounded rectangle with a white label.
class SolidButton final : public QAbstractButton {
  public:
    explicit SolidButton(QWidget* parent = nullptr);
    void setFill(const QColor& fill);
    QColor fill() const { return fill_; }
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QColor fill_;
};

// One of the panel's commands: a full-width row highlighted under the pointer.
class PanelMenuButton final : public QAbstractButton {
  public:
    PanelMenuButton(const QString& title, QWidget* parent = nullptr);
    bool hovering() const { return hovering_; }
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent*) override;
    void enterEvent(QEnterEvent*) override;
    void leaveEvent(QEvent*) override;

  private:
    bool hovering_ = false;
};

// The preview box: the picture sent to video apps, or a caption.
class PreviewBox final : public QWidget {
  public:
    explicit PreviewBox(QWidget* parent = nullptr);
    void setImage(const QImage& image);  // null: the caption
    void setCaption(const QString& caption);
    QString caption() const { return caption_; }
    bool hasImage() const { return !image_.isNull(); }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QImage image_;
    QString caption_;
};

}  // namespace vsc
