#pragma once

#include <QLocalServer>
#include <QObject>
#include <functional>

namespace vsc {

// One running application per user: a second launch hands over to the first
// (which then shows its window) and ends.
class SingleInstance final : public QObject {
  public:
    explicit SingleInstance(QObject* parent = nullptr);
    // True when another instance is running and took the hand-over: this
    // process should end. Otherwise this one becomes the running instance
    // and hears later launches through onReopen.
    bool handOverToRunning();
    std::function<void()> onReopen;

  private:
    QString name_;
    QLocalServer server_;
};

}  // namespace vsc
