#include "app/ui/qt_main_queue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>
#include <cmath>

namespace vsc {
namespace {

int milliseconds(double seconds) {
    if (!(seconds > 0)) return 0;
    return static_cast<int>(std::min(std::ceil(seconds * 1000.0), 2.0e9));
}

}  // namespace

QtMainQueue::QtMainQueue() : context_(new QObject(QCoreApplication::instance())) {}

QtMainQueue::~QtMainQueue() {
    delete context_;
}

void QtMainQueue::post(Task task) {
    // A queued call to an object of the GUI thread runs there whichever
    // thread asks; the event queue keeps posts in order.
    QMetaObject::invokeMethod(context_, std::move(task), Qt::QueuedConnection);
}

void QtMainQueue::postAfter(double seconds, Task task) {
    const int delay = milliseconds(seconds);
    // QTimer must be started on the thread its receiver lives on: hop there first.
    QMetaObject::invokeMethod(
        context_,
        [this, delay, task = std::move(task)]() mutable {
            QTimer::singleShot(delay, Qt::PreciseTimer, context_, std::move(task));
        },
        Qt::QueuedConnection);
}

void QtMainQueue::addRepeatingTimer(double interval, Task tick) {
    const int period = std::max(1, milliseconds(interval));
    QMetaObject::invokeMethod(
        context_,
        [this, period, tick = std::move(tick)]() mutable {
            auto* timer = new QTimer(context_);
            timer->setTimerType(Qt::PreciseTimer);
            QObject::connect(timer, &QTimer::timeout, context_, std::move(tick));
            timer->start(period);
        },
        Qt::QueuedConnection);
}

WallTime QtMainQueue::now() {
    return std::chrono::system_clock::now();
}

}  // namespace vsc
