#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class QLabel;

// Sets a label's text at most twenty times a second. A label that changes with every frame
// (the last packet, the simulated track) would otherwise have the window laid out and repainted
// thousands of times a second, and the cab would wait for it; nobody reads faster than this.
//
// The first text after a quiet spell goes in at once; texts that follow within the interval wait,
// and only the newest of them goes in when it ends. Main thread only. The label is not owned: it
// belongs to the window, which outlives this object.
class QtThrottledLabel {
public:
    static constexpr int intervalMs = 50;

    explicit QtThrottledLabel(QLabel& label);
    QtThrottledLabel(const QtThrottledLabel&) = delete;
    QtThrottledLabel& operator=(const QtThrottledLabel&) = delete;

    void setText(const QString& text);

private:
    void intervalEnded();

    QLabel& label_;
    QTimer timer_;
    QString waiting_;
    bool isWaiting_ = false;
};
