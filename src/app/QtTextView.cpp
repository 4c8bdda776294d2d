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
}

void QtTextView::appendString(std::string_view text) {
    if (text.empty()) {
        return;
    }
    QTextCursor cursor(edit_.document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

std::string QtTextView::string() const {
    return edit_.toPlainText().toStdString();
}

std::size_t QtTextView::length() const {
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
    QScrollBar* bar = edit_.verticalScrollBar();
    bar->setValue(bar->maximum());
}

void QtTextView::setNeedsDisplay() {
    edit_.viewport()->update();
}

void QtTextView::clear() {
    edit_.clear();
}

void QtTextView::setMaximumLineCount(std::size_t lines) {
    const auto most = static_cast<std::size_t>(std::numeric_limits<int>::max());
    edit_.setMaximumBlockCount(static_cast<int>(std::min(lines, most)));
}

std::size_t QtTextView::maximumLineCount() const {
    return static_cast<std::size_t>(edit_.maximumBlockCount());
}
