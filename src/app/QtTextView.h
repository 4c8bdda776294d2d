#pragma once

#include "TextView.h"

class QPlainTextEdit;

// The received-data view of the window: a TextView over a read-only QPlainTextEdit in a
// monospaced font. Appending goes through a cursor at the end of the document, so it costs about
// the length of what is appended; the scrollback limit is the document's maximum block count,
// which drops the oldest lines.
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

private:
    QPlainTextEdit& edit_;
};
