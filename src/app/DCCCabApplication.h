#pragma once

#include "DCCCabCommandLine.h"

#include <QMetaObject>
#include <optional>
#include <string>
#include <vector>

class HBAppDelegate;
class QCoreApplication;
class QuitSignals;

// The program's start and end: reads the command line, sets up the platform's services, makes the
// delegate, the cab controller and the window, runs the event loop, and delivers
// will-terminate on every way out (the window closed, Ctrl+Q, SIGINT, SIGTERM or SIGHUP).
//
// At start it loads the roster (RosterFile::defaultPath; a problem goes to the log and the
// status line, and the cab starts with an empty roster) and the window's settings
// (WindowSettings::userSettings): the remembered port is chosen when it is present and the
// command line names none (the simulated station is started and opened), with its baud rate; the
// reconnect option, the window's size and the shown locomotive are restored. At the end it saves
// the window's settings, except after a --screenshot run.
//
// Made and run on the main thread, once per process.
class DCCCabApplication {
public:
    using Options = DCCCabCommandLine::Options;

    // argv must stay valid (and argc alive) while the object lives, as QApplication requires.
    DCCCabApplication(int& argc, char** argv);

    // Runs the window and answers the exit status: 0 after a normal quit, 2 for a command line
    // that cannot be run (after saying why on standard error). --help and --version print and
    // answer 0 before anything needs a display.
    int run();

    // Connects will-terminate to application's quit: when its event loop ends (for whatever
    // reason), delegate's applicationWillTerminate runs, then the default NotificationCenter
    // posts applicationWillTerminateNotification (the port manager cleans its ports up). Both run
    // on the main thread before exec returns. Disconnect the result before delegate goes.
    static QMetaObject::Connection deliverWillTerminate(QCoreApplication& application,
                                                        HBAppDelegate& delegate);

private:
    int runWindow(const Options& options, const QuitSignals& quitSignals);

    int& argc_;
    char** argv_;
};
