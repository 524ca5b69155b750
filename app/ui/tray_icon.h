#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>

#include "app/model/menu_bar_status.h"

namespace vsc {

// The camera glyph of the tray, drawn at `size` pixels square (its geometry
// is laid out on an 18-unit grid and scaled). `ink` is the stroke colour.
QImage drawMenuBarIcon(MenuBarIconState state, int size, const QColor& ink);

// The glyph for a state at the sizes trays ask for, made once per state and
// kept for the life of the process.
const QIcon& menuBarIcon(MenuBarIconState state);

// The tray item: shows the icon of MenuBarStatus::shared() and tells its
// owner when the user clicks it.
class TrayIcon final : public QObject {
  public:
    explicit TrayIcon(QObject* parent = nullptr);
    void show();
    // Where the tray put the icon on the screen; empty when it does not say.
    QRect geometry() const { return tray_.geometry(); }
    std::function<void()> onClick;

  private:
    void update();
    QSystemTrayIcon tray_;
};

}  // namespace vsc
