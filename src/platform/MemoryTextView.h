#pragma once

#include "TextView.h"

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

// A text view without a screen, for tests and the headless mode: it keeps the text, as lines,
// and counts the requests a screen would act on.
//
// Main thread only.
class MemoryTextView : public TextView {
public:
    MemoryTextView();

    void appendString(std::string_view text) override;
    std::string string() const override;
    std::size_t length() const override { return length_; }
    void scrollToEnd() override { ++scrollRequests_; }
    void setNeedsDisplay() override { ++displayRequests_; }
    void clear() override;
    void setMaximumLineCount(std::size_t lines) override;
    std::size_t maximumLineCount() const override { return maximumLineCount_; }

    // Lines held, the last one possibly empty (the text ended with a line break).
    std::size_t lineCount() const { return lines_.size(); }
    std::size_t scrollRequests() const { return scrollRequests_; }
    std::size_t displayRequests() const { return displayRequests_; }

private:
    struct Line {
        std::string text;
        std::size_t length = 0; // in code points
    };

    void dropOldestLines();

    std::deque<Line> lines_;
    std::size_t length_ = 0; // code points, line breaks included
    std::size_t maximumLineCount_ = 0;
    std::size_t scrollRequests_ = 0;
    std::size_t displayRequests_ = 0;
};
