#include "app/ui/panel_parts.h"

#include <QApplication>
#include <QEnterEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

namespace vsc {

namespace panel_colors {

QColor secondary() {
    QColor color = QApplication::palette().color(QPalette::WindowText);
    color.setAlphaF(0.55f);
    return color;
}

QColor accent() {
    return QApplication::palette().color(QPalette::Highlight);
}

}  // namespace panel_colors

namespace {

QColor withAlpha(QColor color, double alpha) {
    color.setAlphaF(static_cast<float>(alpha));
    return color;
}

}  // namespace

void makeSecondary(QLabel* label) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, panel_colors::secondary());
    label->setPalette(palette);
}

// ---- ElidedLabel ----

void ElidedLabel::setFullText(const QString& text) {
    if (text == full_) return;
    full_ = text;
    setToolTip(text);
    elide();
}

QSize ElidedLabel::minimumSizeHint() const {
    // The text shrinks to "…" rather than widening the panel.
    return QSize(fontMetrics().horizontalAdvance(QStringLiteral("…")),
                 QLabel::minimumSizeHint().height());
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::elide() {
    setText(fontMetrics().elidedText(full_, Qt::ElideRight, width()));
}

// ---- RowIcon ----

RowIcon::RowIcon(QWidget* parent) : QWidget(parent) {
    setFixedSize(16, 16);
}

void RowIcon::setTone(RowTone tone) {
    if (tone == tone_) return;
    tone_ = tone;
    update();
}

void RowIcon::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
    switch (tone_) {
        case RowTone::ok: {
            p.setPen(Qt::NoPen);
            p.setBrush(panel_colors::kGreen);
            p.drawEllipse(box);
            QPen tick(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
            p.setPen(tick);
            QPainterPath path;
            path.moveTo(box.left() + box.width() * 0.28, box.top() + box.height() * 0.52);
            path.lineTo(box.left() + box.width() * 0.45, box.top() + box.height() * 0.68);
            path.lineTo(box.left() + box.width() * 0.73, box.top() + box.height() * 0.34);
            p.drawPath(path);
            break;
        }
        case RowTone::warning: {
            p.setPen(Qt::NoPen);
            p.setBrush(panel_colors::kOrange);
            QPainterPath triangle;
            triangle.moveTo(box.center().x(), box.top());
            triangle.lineTo(box.right(), box.bottom());
            triangle.lineTo(box.left(), box.bottom());
            triangle.closeSubpath();
            p.drawPath(triangle);
            p.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap));
            const double x = box.center().x();
            p.drawLine(QPointF(x, box.top() + 4.5), QPointF(x, box.bottom() - 4.2));
            p.drawPoint(QPointF(x, box.bottom() - 1.8));
            break;
        }
        case RowTone::neutral: {
            QPen dashed(panel_colors::secondary(), 1.4);
            dashed.setDashPattern({1.6, 1.6});
            p.setPen(dashed);
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(box.adjusted(0.5, 0.5, -0.5, -0.5));
            break;
        }
    }
}

// ---- LevelMeter ----

LevelMeter::LevelMeter(QWidget* parent) : QWidget(parent) {
    setFixedHeight(7);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void LevelMeter::setLevel(double level) {
    if (level == level_) return;
    level_ = level;
    update();
}

QColor LevelMeter::barColor() const {
    if (level_ > 0.9) return panel_colors::kRed;
    if (level_ > 0.7) return panel_colors::kOrange;
    return panel_colors::kGreen;
}

void LevelMeter::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(withAlpha(panel_colors::secondary(), 0.2));
    p.drawRoundedRect(QRectF(rect()), 2, 2);
    // The level is not clamped: a bar past the end is clipped by the widget.
    const double w = level_ * width();
    if (w > 0) {
        p.setBrush(barColor());
        p.drawRoundedRect(QRectF(0, 0, w, height()), 2, 2);
    }
}

// ---- OnAirBadge ----

OnAirBadge::OnAirBadge(QWidget* parent) : QWidget(parent) {
    QFont small = font();
    small.setBold(true);
    small.setPointSizeF(small.pointSizeF() * 0.8);
    setFont(small);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void OnAirBadge::setOnAir(bool onAir) {
    if (onAir == onAir_) return;
    onAir_ = onAir;
    updateGeometry();
    update();
}

QString OnAirBadge::text() const {
    return onAir_ ? QStringLiteral("ON AIR") : QStringLiteral("OFF AIR");
}

QSize OnAirBadge::sizeHint() const {
    const QFontMetrics metrics(font());
    return QSize(8 + 7 + 5 + metrics.horizontalAdvance(text()) + 8, metrics.height() + 6);
}

void OnAirBadge::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor tint = onAir_ ? panel_colors::kRed : panel_colors::secondary();
    p.setPen(Qt::NoPen);
    p.setBrush(withAlpha(tint, onAir_ ? 0.18 : 0.15));
    const QRectF capsule(rect());
    p.drawRoundedRect(capsule, capsule.height() / 2, capsule.height() / 2);
    p.setBrush(tint);
    p.drawEllipse(QRectF(8, capsule.center().y() - 3.5, 7, 7));
    p.setPen(onAir_ ? QApplication::palette().color(QPalette::WindowText)
                    : panel_colors::secondary());
    p.drawText(QRectF(20, 0, width() - 20 - 8, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
}

// ---- Spinner ----

Spinner::Spinner(QWidget* parent) : QWidget(parent) {
    setFixedSize(14, 14);
    timer_.setInterval(80);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(panel_colors::secondary(), 2, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(rect()).adjusted(2, 2, -2, -2), -angle_ * 16, 270 * 16);
}

void Spinner::showEvent(QShowEvent*) {
    timer_.start();
}
void Spinner::hideEvent(QHideEvent*) {
    timer_.stop();
}

// ---- SolidButton ----

SolidButton::SolidButton(QWidget* parent) : QAbstractButton(parent) {
    QFont label = font();
    label.setWeight(QFont::DemiBold);
    setFont(label);
    setFixedHeight(30);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFocusPolicy(Qt::StrongFocus);
}

void SolidButton::setFill(const QColor& fill) {
    if (fill == fill_) return;
    fill_ = fill;
    update();
}

QSize SolidButton::sizeHint() const {
    return QSize(fontMetrics().horizontalAdvance(text()) + 24, 30);
}

void SolidButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setOpacity(isEnabled() ? 1.0 : 0.45);
    p.setPen(Qt::NoPen);
    p.setBrush(withAlpha(fill_, isDown() ? 0.8 : 1.0));
    p.drawRoundedRect(QRectF(rect()), 7, 7);
    p.setPen(Qt::white);
    p.drawText(rect(), Qt::AlignCenter, text());
}

// ---- PanelMenuButton ----

PanelMenuButton::PanelMenuButton(const QString& title, QWidget* parent) : QAbstractButton(parent) {
    setText(title);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_Hover);
    setFocusPolicy(Qt::NoFocus);
}

QSize PanelMenuButton::sizeHint() const {
    return QSize(fontMetrics().horizontalAdvance(text()) + 16, fontMetrics().height() + 10);
}

void PanelMenuButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (hovering_) {
        p.setPen(Qt::NoPen);
        p.setBrush(withAlpha(panel_colors::accent(), 0.25));
        p.drawRoundedRect(QRectF(rect()), 5, 5);
    }
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(rect().adjusted(8, 5, -8, -5), Qt::AlignLeft | Qt::AlignVCenter, text());
}

void PanelMenuButton::enterEvent(QEnterEvent*) {
    hovering_ = true;
    update();
}

void PanelMenuButton::leaveEvent(QEvent*) {
    hovering_ = false;
    update();
}

// ---- PreviewBox ----

PreviewBox::PreviewBox(QWidget* parent) : QWidget(parent) {
    // 312 × 175.5, rounded to whole pixels.
    setFixedSize(312, 176);
    setAccessibleName(QStringLiteral("Preview of the picture sent to video apps"));
}

void PreviewBox::setImage(const QImage& image) {
    image_ = image;
    update();
}

void PreviewBox::setCaption(const QString& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    update();
}

void PreviewBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(rect()), 6, 6);
    p.setClipPath(clip);
    p.fillPath(clip, QColor::fromRgbF(0, 0, 0, 0.85f));
    if (!image_.isNull()) {
        // 16:9, as large as the box allows, centred.
        QSizeF size(width(), width() * 9.0 / 16.0);
        if (size.height() > height()) size = QSizeF(height() * 16.0 / 9.0, height());
        QRectF target(QPointF((width() - size.width()) / 2, (height() - size.height()) / 2), size);
        p.drawImage(target, image_);
        return;
    }
    p.setPen(QColor(255, 255, 255, 150));
    p.drawText(rect(), Qt::AlignCenter, caption_);
}

}  // namespace vsc
