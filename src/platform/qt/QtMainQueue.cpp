#include "QtMainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
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

MainQueue::Task QtMainQueue::postAfter(std::chrono::milliseconds delay, Task task) {
    // The timer, once started, and whether it was cancelled first: both touched on the main
    // thread only.
    struct Pending {
        QPointer<QTimer> timer;
        bool cancelled = false;
    };
    auto pending = std::make_shared<Pending>();
    QCoreApplication* application = &application_;
    // A timer started from a thread that Qt did not start never fires: start it on the main
    // thread.
    auto start = [application, delay, pending, task = std::move(task)]() mutable {
        if (pending->cancelled) {
            return;
        }
        auto* timer = new QTimer(application);
        timer->setSingleShot(true);
        timer->setTimerType(delay < std::chrono::seconds(2) ? Qt::PreciseTimer : Qt::CoarseTimer);
        QObject::connect(timer, &QTimer::timeout, timer, [timer, task = std::move(task)] {
            timer->deleteLater();
            task();
        });
        pending->timer = timer;
        timer->start(delay);
    };
    if (isMainThread()) {
        start();
    } else {
        post(std::move(start));
    }
    // Asks the application, not this queue, which thread it is on: a handle can be ended after
    // the queue has gone.
    return [pending] {
        const QCoreApplication* application = QCoreApplication::instance();
        if (application == nullptr || QThread::currentThread() != application->thread()) {
            return;
        }
        pending->cancelled = true;
        delete pending->timer.data(); // null once it has fired
    };
}
