#pragma once

#include "MainQueue.h"

#include <memory>

// The start and the end of a program's run, as one object at the top of main():
//
//     QCoreApplication application(argc, argv);
//     QtMainQueue queue(application);
//     ProgramLifetime lifetime(queue, std::make_unique<SystemServices>());
//     ... make the program's objects, run the event loop, post will-terminate ...
//
// Construction installs queue as the shared main queue, then takes and keeps services (the
// program's real ones, which install themselves when made; null for none). Destruction, in this
// order:
//   1. shuts the queue down: no queued task runs any more, and background threads waiting in
//      syncFromBackground are let go;
//   2. joins every background thread (BackgroundThreads::joinAll, which asks each to stop first);
//      what the threads kept alive is released here, on the main thread, so a port still open
//      closes its device;
//   3. destroys the services, which uninstall themselves, and puts back the main queue that was
//      installed before (none, in a program).
// Nothing a background thread uses (the queue, the log, the modem lines) is uninstalled before the
// last background thread has been joined, whatever the program left running.
//
// Main thread only, both ends; one at a time. The queue is not owned: it must outlive this object
// (declare it first). The services are owned. Objects made after this one are destroyed before
// it, and may leave background threads running for it to stop.
class ProgramLifetime {
public:
    // What a program installs for its whole run. Each implementation installs its services when
    // made and uninstalls them when destroyed (see SystemServices).
    class Services {
    public:
        virtual ~Services() = default;
    };

    explicit ProgramLifetime(MainQueue& queue, std::unique_ptr<Services> services = nullptr);
    ~ProgramLifetime();
    ProgramLifetime(const ProgramLifetime&) = delete;
    ProgramLifetime& operator=(const ProgramLifetime&) = delete;

private:
    MainQueue& queue_;
    MainQueue* replacedQueue_;
    std::unique_ptr<Services> services_;
};
