#pragma once

class KESSerialPortManager;
class QWidget;

// The application's delegate: at will-terminate it closes every port the port manager lists, so
// that no device is left held, or set raw, when the program ends.
//
// Main thread only. It owns nothing: the window is an outlet (set by the application once made,
// read by nobody in the program), and the manager is held, not owned.
class HBAppDelegate {
public:
    // manager: whose ports are closed at will-terminate; null: the shared manager, asked for at
    // that moment. A manager given must outlive the delegate.
    explicit HBAppDelegate(KESSerialPortManager* manager = nullptr) : manager_(manager) {}

    QWidget* window() const { return window_; }
    void setWindow(QWidget* window) { window_ = window; }

    // Sends close to every port of the manager's availablePorts, in list order, and ignores the
    // results; with no list (none could be made, or the manager has already let its ports go at
    // will-terminate) it closes nothing. A port's serialPortWasClosed reaches its delegate before
    // this returns.
    void applicationWillTerminate();

private:
    KESSerialPortManager* manager_;
    QWidget* window_ = nullptr;
};
