#pragma once

#include "TextView.h"

#include <QTimer>
#include <string>

class QPlainTextEdit;

// The received-data view of the window: a TextView over a read-only QPlainTextEdit in a
// monospaced font. Appending goes through a cursor at the end of the document, so it costs about
// the length of what is appended; the scrollback limit is the document's maximum block count,
// which drops the oldest lines.
//
// Appended text reaches the widget at most flushInterval later, together with what came with it,
// and a scroll to the end asked for meanwhile with it: a board answering thousands of frames a
// second would otherwise have the document laid out and the view repainted after every reply,
// and each reply wait behind that. string() and length() count what is still on its way; clear
// drops it. The widget's own text (edit().toPlainText()) shows it only once it has gone in.
//
// Main thread only. The widget is not owned: it belongs to the window, which outlives this adapter
// (both are members of it). The constructor makes the widget read-only and sets its font.
class QtTextView : public TextView {
public:
    explicit QtTextView(QPlainTextEdit& edit);

    void appendString(std::string_view text) override;
    std::string string() const override;
    std::size_t length() const override;
    void scrollToEnd() override;
    void setNeedsDisplay() override;
    void clear() override;
    void setMaximumLineCount(std::size_t lines) override;
    std::size_t maximumLineCount() const override;

    QPlainTextEdit& edit() const { return edit_; }

    static constexpr int flushIntervalMs = 50;

private:
    // Puts the text on its way into the document, then scrolls if that was asked for.
    void flush() const;

    QPlainTextEdit& edit_;
    // UTF-8 appended since the last flush; kept as bytes, so a character split between two
    // appends goes in whole.
    mutable std::string pending_;
    mutable bool scrollPending_ = false;
    mutable QTimer flushTimer_;
};
