#pragma once

#include "MainQueue.h"

class QCoreApplication;

// The program's main queue: tasks run on the thread of the Qt application object, from its
// event loop.
//
// Constructed on the main thread once the application object exists; the application must
// outlive it. Tasks still queued when the event loop stops never run; shut the queue down at
// quit so that background threads waiting on it are let go.
class QtMainQueue : public MainQueue {
public:
    explicit QtMainQueue(QCoreApplication& application);
    ~QtMainQueue() override;

    bool isMainThread() const override;

protected:
    void post(Task task) override;
    Task postAfter(std::chrono::milliseconds delay, Task task) override;

private:
    QCoreApplication& application_;
};
