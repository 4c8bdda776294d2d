#include "ProgramLifetime.h"

#include "BackgroundThreads.h"

#include <utility>

ProgramLifetime::ProgramLifetime(MainQueue& queue, std::unique_ptr<Services> services)
    : queue_(queue), replacedQueue_(MainQueue::installed()) {
    MainQueue::setShared(&queue_);
    DCCCAB_ASSERT_MAIN_THREAD();
    // Taken after the queue is installed: services may check the thread they are made on.
    services_ = std::move(services);
}

ProgramLifetime::~ProgramLifetime() {
    DCCCAB_ASSERT_MAIN_THREAD();
    // Shut down before joining: a thread waiting for the main thread would keep joinAll waiting
    // for ever.
    queue_.shutDown();
    BackgroundThreads::shared().joinAll();
    services_.reset();
    MainQueue::setShared(replacedQueue_);
}
