#include "QtMainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <utility>

QtMainQueue::QtMainQueue(QCoreApplication& application) : application_(application) {}

QtMainQueue::~QtMainQueue() {
    shutDown();
}

bool QtMainQueue::isMainThread() const {
    return QThread::currentThread() == application_.thread();
}

void QtMainQueue::post(Task task) {
    QMetaObject::invokeMethod(&application_, std::move(task), Qt::QueuedConnection);
}

void QtMainQueue::postAfter(std::chrono::milliseconds delay, Task task) {
    QCoreApplication* application = &application_;
    // A timer started from a thread that Qt did not start never fires: start it on the main
    // thread.
    auto start = [application, delay, task = std::move(task)]() mutable {
        QTimer::singleShot(delay, application, std::move(task));
    };
    if (isMainThread()) {
        start();
    } else {
        post(std::move(start));
    }
}
