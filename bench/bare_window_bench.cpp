// The floor for the window's start-up: a bare QApplication that shows an empty QWidget and then
// saves a picture of it the way dcc-cab-window --screenshot does (a 50 ms timer after the event
// loop starts, then grab and save as PNG), so both are timed to the same signal: the file written.
//   bare_window_bench FILE

#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: bare_window_bench FILE\n", stderr);
        return 2;
    }
    QApplication application(argc, argv);
    QWidget window;
    window.resize(640, 480);
    window.show();
    const QString file = QString::fromLocal8Bit(argv[1]);
    QTimer::singleShot(50, &window, [&] {
        window.grab().save(file, "PNG");
        QCoreApplication::quit();
    });
    return application.exec();
}
