#pragma once

#include <memory>

class QCoreApplication;
class QSocketNotifier;

// Turns Ctrl-C (SIGINT), SIGTERM and SIGHUP (the terminal went) into a normal quit of the event
// loop, so that a program ends the way it does from its own Quit: will-terminate runs and the
// ports are given back with their own settings. Nothing runs in a signal handler: the signals are
// blocked and read from a signalfd on the main thread.
//
// Make it at the top of main, before any thread starts (Qt's among them), so that every thread
// inherits the blocked mask and none takes a signal itself. Main thread only. The notifier that
// quitApplicationOnSignal hands back must be destroyed before the application and before this
// object.
class QuitSignals {
public:
    QuitSignals();
    ~QuitSignals();
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    // False when the signalfd could not be made (the reason is on standard error).
    bool isValid() const { return descriptor_ >= 0; }
    // From now on, each of the signals quits application.
    std::unique_ptr<QSocketNotifier> quitApplicationOnSignal(QCoreApplication& application) const;

private:
    int descriptor_ = -1;
};
