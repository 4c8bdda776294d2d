#include "FrameParser.h"

#include <utility>

void FrameParser::feed(std::span<const std::uint8_t> bytes, std::vector<Event>& events) {
    for (const std::uint8_t byte : bytes) {
        if (partial_.empty()) {
            if (byte < shortestPacket || byte > longestPacket) {
                ++discardedBytes_;
                if (!inNoise_) {
                    inNoise_ = true;
                    ++badLengths_;
                    events.push_back({Event::Kind::BadLength, {byte}});
                }
                continue;
            }
            inNoise_ = false;
            partial_.reserve(longestPacket + 1);
        }
        partial_.push_back(byte);
        if (partial_.size() < std::size_t{partial_[0]} + 1) {
            continue;
        }
        std::uint8_t check = 0;
        for (std::size_t i = 1; i < partial_.size(); ++i) {
            check ^= partial_[i];
        }
        const Event::Kind kind = check == 0 ? Event::Kind::Frame : Event::Kind::BadErrorByte;
        ++(kind == Event::Kind::Frame ? frames_ : badErrorBytes_);
        events.push_back({kind, std::exchange(partial_, {})});
    }
}

FrameParser::Event FrameParser::dropPartial() {
    ++incompleteFrames_;
    return {Event::Kind::Incomplete, std::exchange(partial_, {})};
}
