#include "app/ui/tray_icon.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <array>
#include <optional>

namespace vsc {
namespace {

const QColor kSystemGreen(0x34, 0xc7, 0x59);
const QColor kSystemOrange(0xff, 0x95, 0x00);

// The sizes panels of the common desktops ask for; Qt picks the nearest.
constexpr std::array<int, 7> kTraySizes = {16, 18, 22, 24, 32, 48, 64};

// The tray is drawn by another program whose background we cannot ask for:
// it may be light or dark whatever our own palette says. The glyph stands on a
// backing of the opposite lightness (the camera body filled, the stand
// outlined), so its strokes read on either without extra rings inside it.
QColor backingFor(const QColor& ink) {
    QColor backing = ink.lightnessF() < 0.5 ? QColor(255, 255, 255) : QColor(0, 0, 0);
    backing.setAlphaF(0.92f);
    return backing;
}

void drawBacking(QPainter& p, const QColor& backing, double widen) {
    p.setPen(Qt::NoPen);
    p.setBrush(backing);
    p.drawEllipse(
        QRectF(3, 1.5, 12, 12)
            .adjusted(-0.8 - widen / 2, -0.8 - widen / 2, 0.8 + widen / 2, 0.8 + widen / 2));
    QPainterPath stand;
    stand.moveTo(9, 13.5);
    stand.lineTo(9, 16.5);
    stand.moveTo(5.8, 16.5);
    stand.lineTo(12.2, 16.5);
    p.strokePath(stand, QPen(backing, 1.6 + widen, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
}

void strokeGlyph(QPainter& p, MenuBarIconState state, const QColor& ink) {
    QPen pen(ink, 1.6, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin);
    p.setBrush(Qt::NoBrush);
    p.setPen(pen);
    // Camera body.
    p.drawEllipse(QRectF(3, 1.5, 12, 12));
    // Stand.
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    QPainterPath stand;
    stand.moveTo(9, 13.5);
    stand.lineTo(9, 16.5);
    stand.moveTo(5.8, 16.5);
    stand.lineTo(12.2, 16.5);
    p.drawPath(stand);
    if (state == MenuBarIconState::ready) {
        pen.setWidthF(1.4);
        p.setPen(pen);
        p.drawEllipse(QRectF(6.7, 5.2, 4.6, 4.6));
    }
}

void fillLens(QPainter& p, MenuBarIconState state) {
    p.setPen(Qt::NoPen);
    if (state == MenuBarIconState::sending) {
        p.setBrush(kSystemGreen);
        p.drawEllipse(QRectF(6.2, 4.7, 5.6, 5.6));
    } else if (state == MenuBarIconState::attention) {
        p.setBrush(kSystemOrange);
        QPainterPath triangle;
        triangle.moveTo(9, 4.4);
        triangle.lineTo(12, 9.9);
        triangle.lineTo(6, 9.9);
        triangle.closeSubpath();
        p.drawPath(triangle);
    }
}

}  // namespace

QImage drawMenuBarIcon(MenuBarIconState state, int size, const QColor& ink) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // Flipped coordinates on the 18-unit grid: origin top left, y downward.
    p.scale(size / 18.0, size / 18.0);
    // A thinner edge on small icons, where each unit is nearly a pixel.
    drawBacking(p, backingFor(ink), size <= 22 ? 1.0 : 1.4);
    strokeGlyph(p, state, ink);
    fillLens(p, state);
    return image;
}

const QIcon& menuBarIcon(MenuBarIconState state) {
    static std::array<std::optional<QIcon>, 3> cache;
    auto& icon = cache[static_cast<std::size_t>(state)];
    if (!icon) {
        // Ready follows the desktop's text colour, as a template image follows
        // the menu bar's appearance; the other states keep their colours.
        const QColor ink = QGuiApplication::palette().color(QPalette::WindowText);
        icon.emplace();
        for (int size : kTraySizes)
            icon->addPixmap(QPixmap::fromImage(drawMenuBarIcon(state, size, ink)));
    }
    return *icon;
}

TrayIcon::TrayIcon(QObject* parent) : QObject(parent) {
    MenuBarStatus::shared().observe([this] { update(); });
    connect(
        &tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
            if ((why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick) && onClick)
                onClick();
        });
    update();
}

void TrayIcon::show() {
    tray_.show();
}

void TrayIcon::update() {
    const MenuBarIconState state = MenuBarStatus::shared().state();
    tray_.setIcon(menuBarIcon(state));
    // Trays read the tool tip as the item's name, screen readers included.
    tray_.setToolTip(QString::fromStdString(accessibilityLabel(state)));
}

}  // namespace vsc
