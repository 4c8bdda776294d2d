#include "MemoryTextView.h"

namespace {

// Code points in UTF-8 text: every byte that is not a continuation byte starts one.
std::size_t codePoints(std::string_view text) {
    std::size_t count = 0;
    for (unsigned char byte : text) {
        count += (byte & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

} // namespace

MemoryTextView::MemoryTextView() : lines_(1) {}

void MemoryTextView::appendString(std::string_view text) {
    while (!text.empty()) {
        const std::size_t lineBreak = text.find('\n');
        const std::string_view piece = text.substr(0, lineBreak);
        Line& last = lines_.back();
        last.text.append(piece);
        const std::size_t pieceLength = codePoints(piece);
        last.length += pieceLength;
        length_ += pieceLength;
        if (lineBreak == std::string_view::npos) {
            break;
        }
        lines_.emplace_back();
        ++length_;
        text.remove_prefix(lineBreak + 1);
    }
    dropOldestLines();
}

std::string MemoryTextView::string() const {
    std::string text;
    for (const Line& line : lines_) {
        if (&line != &lines_.front()) {
            text += '\n';
        }
        text += line.text;
    }
    return text;
}

void MemoryTextView::clear() {
    lines_.assign(1, Line{});
    length_ = 0;
}

void MemoryTextView::setMaximumLineCount(std::size_t lines) {
    maximumLineCount_ = lines;
    dropOldestLines();
}

void MemoryTextView::dropOldestLines() {
    while (maximumLineCount_ != 0 && lines_.size() > maximumLineCount_) {
        length_ -= lines_.front().length + 1; // the line and the break after it
        lines_.pop_front();
    }
}
