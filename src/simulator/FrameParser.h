#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Cuts the byte stream from the program into frames: N, then N packet bytes, error byte last,
// with N from 3 to 6. A frame carries no marker and any byte value may occur in it, so the length
// byte is the only guide; frames may arrive in pieces and several may arrive together.
//
// Faults, and how the stream is picked up again after them:
// - a byte that cannot be a length (0 to 2, 7 and above) where a frame should start is reported
//   once as BadLength; any further such bytes straight after it belong to the same fault and are
//   skipped without another report, so a burst of noise costs one reply, not one per byte;
// - a frame whose error byte is not the exclusive-or of the packet bytes is reported whole as
//   BadErrorByte; the next byte is taken as the next length byte, which keeps the stream in step
//   when a byte was damaged rather than lost.
//
// Bytes in, events out: no input or output of its own and no lock; one thread at a time.
class FrameParser {
public:
    static constexpr std::size_t shortestPacket = 3; // address, instruction, error byte
    static constexpr std::size_t longestPacket = 6;

    struct Event {
        enum class Kind { Frame, BadErrorByte, BadLength, Incomplete };
        Kind kind;
        // The frame as received, length byte first; for BadLength the offending byte alone; for
        // Incomplete the bytes that came.
        std::vector<std::uint8_t> bytes;

        bool operator==(const Event&) const = default;
    };

    // Takes the next bytes of the stream and appends to events, in stream order, one event for
    // each frame completed and each fault found in them. Bytes of an unfinished frame are kept
    // for the next call.
    void feed(std::span<const std::uint8_t> bytes, std::vector<Event>& events);

    // True while part of a frame is held, waiting for the rest.
    bool inFrame() const { return !partial_.empty(); }
    // Gives up the frame held (its rest will not come): an Incomplete event with its bytes. The
    // next byte is taken as a length byte. Only while inFrame().
    Event dropPartial();

    std::uint64_t frames() const { return frames_; }
    std::uint64_t badErrorBytes() const { return badErrorBytes_; }
    std::uint64_t badLengths() const { return badLengths_; }
    std::uint64_t incompleteFrames() const { return incompleteFrames_; }
    // Bytes that were part of no frame: every byte of a BadLength fault, reported or skipped.
    std::uint64_t discardedBytes() const { return discardedBytes_; }

private:
    std::vector<std::uint8_t> partial_; // the unfinished frame, length byte first
    bool inNoise_ = false;              // skipping bytes after a reported BadLength
    std::uint64_t frames_ = 0;
    std::uint64_t badErrorBytes_ = 0;
    std::uint64_t badLengths_ = 0;
    std::uint64_t incompleteFrames_ = 0;
    std::uint64_t discardedBytes_ = 0;
};
