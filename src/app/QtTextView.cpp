#include "QtTextView.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <limits>

QtTextView::QtTextView(QPlainTextEdit& edit) : edit_(edit) {
    edit_.setReadOnly(true);
    edit_.setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    flushTimer_.setSingleShot(true);
    flushTimer_.setInterval(flushIntervalMs);
    QObject::connect(&flushTimer_, &QTimer::timeout, [this] { flush(); });
}

void QtTextView::appendString(std::string_view text) {
    if (text.empty()) {
        return;
    }
    pending_.append(text);
    if (!flushTimer_.isActive()) {
        flushTimer_.start();
    }
}

void QtTextView::flush() const {
    flushTimer_.stop();
    if (!pending_.empty()) {
        QTextCursor cursor(edit_.document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(
            QString::fromUtf8(pending_.data(), static_cast<qsizetype>(pending_.size())));
        pending_.clear();
    }
    if (scrollPending_) {
        scrollPending_ = false;
        QScrollBar* bar = edit_.verticalScrollBar();
        bar->setValue(bar->maximum());
    }
}

std::string QtTextView::string() const {
    flush();
    return edit_.toPlainText().toStdString();
}

std::size_t QtTextView::length() const {
    flush();
    // QString counts UTF-16 units; a character outside the basic plane takes two.
    const QString text = edit_.toPlainText();
    std::size_t characters = 0;
    for (const QChar unit : text) {
        if (!unit.isLowSurrogate()) {
            ++characters;
        }
    }
    return characters;
}

void QtTextView::scrollToEnd() {
    scrollPending_ = true;
    if (pending_.empty()) {
        flush();
    }
}

void QtTextView::setNeedsDisplay() {
    edit_.viewport()->update();
}

void QtTextView::clear() {
    pending_.clear();
    scrollPending_ = false;
    flushTimer_.stop();
    edit_.clear();
}

void QtTextView::setMaximumLineCount(std::size_t lines) {
    flush(); // the limit applies to what came before it as it did when that went in
    const auto most = static_cast<std::size_t>(std::numeric_limits<int>::max());
    edit_.setMaximumBlockCount(static_cast<int>(std::min(lines, most)));
}

std::size_t QtTextView::maximumLineCount() const {
    return static_cast<std::size_t>(edit_.maximumBlockCount());
}
