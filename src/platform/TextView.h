#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A multi-line text display that a controller appends to: the received-data view of the window, an
// in-memory view in tests and in the headless mode.
//
// Text is UTF-8. A view may keep a scrollback limit: once it holds more lines than that, the oldest
// lines are dropped, first to last, as a terminal does. Appending costs about the length of what is
// appended, never a copy of the whole text.
//
// Main thread only. The view is not owned by the controllers that use it (it is an outlet): whoever
// makes it keeps it alive while it is connected.
class TextView {
public:
    virtual ~TextView() = default;

    // Appends text at the very end, with nothing in between (no line break is added).
    virtual void appendString(std::string_view text) = 0;
    // The whole text, as it stands after any lines the scrollback limit dropped.
    virtual std::string string() const = 0;
    // The text's length in characters (Unicode code points, not bytes).
    virtual std::size_t length() const = 0;
    // Scrolls so that the end of the text (the empty range at its end) is visible.
    virtual void scrollToEnd() = 0;
    // Asks for the view to be drawn again soon; a view without a screen ignores this.
    virtual void setNeedsDisplay() = 0;
    // Empties the view.
    virtual void clear() = 0;
    // At most lines lines are kept (0: no limit). Applies at once to what the view holds.
    virtual void setMaximumLineCount(std::size_t lines) = 0;
    virtual std::size_t maximumLineCount() const = 0;
};
