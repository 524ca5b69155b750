#pragma once

#include <QObject>

#include "platform/main_queue.h"

namespace vsc {

// The main queue on the Qt event loop of the GUI thread: posts from any
// thread become queued calls, delays and repeating timers are QTimers, so the
// model's work runs between the widgets' events, one task at a time.
class QtMainQueue final : public MainQueue {
  public:
    // Create on the GUI thread once the QApplication exists.
    QtMainQueue();
    ~QtMainQueue() override;

    void post(Task task) override;
    void postAfter(double seconds, Task task) override;
    void addRepeatingTimer(double interval, Task tick) override;
    WallTime now() override;

  private:
    // The timers' parent, living on the GUI thread; deleting it stops them.
    QObject* context_;
};

}  // namespace vsc
