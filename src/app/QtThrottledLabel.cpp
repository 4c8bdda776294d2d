#include "QtThrottledLabel.h"

#include <QLabel>

QtThrottledLabel::QtThrottledLabel(QLabel& label) : label_(label) {
    timer_.setSingleShot(true);
    timer_.setInterval(intervalMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { intervalEnded(); });
}

void QtThrottledLabel::setText(const QString& text) {
    if (timer_.isActive()) {
        waiting_ = text;
        isWaiting_ = true;
        return;
    }
    if (text == label_.text()) {
        return; // no change, so no interval to wait out either
    }
    label_.setText(text);
    timer_.start();
}

void QtThrottledLabel::intervalEnded() {
    if (!isWaiting_) {
        return;
    }
    isWaiting_ = false;
    label_.setText(waiting_);
    timer_.start(); // the next change waits again, so a steady stream stays at the interval
}
