#pragma once

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
// Made and run on the main thread, once per process.
class DCCCabApplication {
public:
    // What the command line asks for.
    struct Options {
        // Terminals to list besides the registry's devices, in the order given; the first is
        // chosen.
        std::vector<std::string> portPaths;
        // Open the chosen port once the window shows.
        bool openChosenPort = false;
        // Where to save a picture of the window once it shows, then quit; none: run normally.
        std::optional<std::string> screenshotPath;
    };

    // argv must stay valid (and argc alive) while the object lives, as QApplication requires.
    DCCCabApplication(int& argc, char** argv);

    // Runs the program and answers its exit status: 0 after a normal quit, 2 for a command line
    // that cannot be run (after saying why on standard error). --help and --version print and
    // answer 0 before anything needs a display.
    int run();

    // The command line's options, or the exit status when the program is to end at once (having
    // printed the help, the version, or what is wrong with the command line).
    static std::optional<int> parseArguments(const std::vector<std::string>& arguments,
                                             Options& options);

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
