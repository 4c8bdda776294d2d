#include "FrameParser.h"

#include <cctype>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <vector>

using testing::ElementsAreArray;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Event = FrameParser::Event;
using Kind = Event::Kind;

std::vector<Event> feedInPieces(FrameParser& parser, const Bytes& stream,
                                const std::vector<std::size_t>& cuts) {
    std::vector<Event> events;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        parser.feed(std::span(stream).subspan(from, cut - from), events);
        from = cut;
    }
    parser.feed(std::span(stream).subspan(from), events);
    return events;
}

// Frames of every length the line allows, glued together, with bytes inside them that could
// pass for length bytes.
const std::vector<Bytes> frames = {
    {0x03, 0xFF, 0x00, 0xFF},                   // idle
    {0x04, 0x03, 0x3F, 0x85, 0xB9},             // 128-step speed
    {0x05, 0xC3, 0xE8, 0x3F, 0x85, 0x91},       // long address 1000
    {0x06, 0x03, 0x04, 0x05, 0x06, 0x07, 0x03}, // six packet bytes
    {0x03, 0x00, 0x00, 0x00},                   // reset: zeros throughout
};

TEST(FrameParser, FramesSplitAtAnyBoundariesComeOutTheSame) {
    Bytes stream;
    std::vector<Event> expected;
    for (const Bytes& frame : frames) {
        stream.insert(stream.end(), frame.begin(), frame.end());
        expected.push_back({Kind::Frame, frame});
    }
    // Every way of cutting the stream in up to three pieces, one byte at a time included.
    for (std::size_t first = 0; first <= stream.size(); ++first) {
        for (std::size_t second = first; second <= stream.size(); ++second) {
            FrameParser parser;
            ASSERT_THAT(feedInPieces(parser, stream, {first, second}), ElementsAreArray(expected))
                << "cut at " << first << " and " << second;
            EXPECT_FALSE(parser.inFrame());
        }
    }
    FrameParser bytewise;
    std::vector<Event> events;
    for (std::uint8_t byte : stream) {
        bytewise.feed(std::span(&byte, 1), events);
    }
    EXPECT_THAT(events, ElementsAreArray(expected));
    EXPECT_EQ(bytewise.frames(), frames.size());
}

struct FaultCase {
    const char* name;
    Bytes stream;
    std::vector<Kind> kinds;
    std::uint64_t badErrorBytes;
    std::uint64_t badLengths;
    std::uint64_t discardedBytes;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class FrameParserFaults : public testing::TestWithParam<FaultCase> {};

// Each fault is counted once, and the good frame after it still comes out whole.
TEST_P(FrameParserFaults, AreCountedAndTheStreamStaysInStep) {
    const FaultCase& c = GetParam();
    FrameParser parser;
    std::vector<Event> events;
    parser.feed(c.stream, events);
    std::vector<Kind> kinds;
    for (const Event& event : events) {
        kinds.push_back(event.kind);
    }
    EXPECT_THAT(kinds, ElementsAreArray(c.kinds));
    EXPECT_EQ(parser.badErrorBytes(), c.badErrorBytes);
    EXPECT_EQ(parser.badLengths(), c.badLengths);
    EXPECT_EQ(parser.discardedBytes(), c.discardedBytes);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().bytes, (Bytes{0x03, 0x03, 0x78, 0x7B}));
    EXPECT_FALSE(parser.inFrame());
}

constexpr Kind F = Kind::Frame;
constexpr Kind E = Kind::BadErrorByte;
constexpr Kind L = Kind::BadLength;

INSTANTIATE_TEST_SUITE_P(
    Streams, FrameParserFaults,
    testing::Values(
        FaultCase{
            "wrong error byte", {0x03, 0x03, 0x78, 0x7C, 0x03, 0x03, 0x78, 0x7B}, {E, F}, 1, 0, 0},
        FaultCase{"wrong error byte in the longest frame",
                  {0x06, 1, 2, 3, 4, 5, 0xFF, 0x03, 0x03, 0x78, 0x7B},
                  {E, F},
                  1,
                  0,
                  0},
        FaultCase{"zero length", {0x00, 0x03, 0x03, 0x78, 0x7B}, {L, F}, 0, 1, 1},
        FaultCase{
            "lengths 1 and 2 are too short", {0x01, 0x02, 0x03, 0x03, 0x78, 0x7B}, {L, F}, 0, 1, 2},
        FaultCase{"length 7 is too long", {0x07, 0x03, 0x03, 0x78, 0x7B}, {L, F}, 0, 1, 1},
        FaultCase{"a burst of text is one fault",
                  {'h', 'e', 'l', 'l', 'o', '\n', 3, 3, 0x78, 0x7B},
                  {L, F},
                  0,
                  1,
                  6},
        FaultCase{"faults apart are counted apart",
                  {0xFF, 0x03, 0xFF, 0x00, 0xFF, 0xFF, 0x08, 0x03, 0x03, 0x78, 0x7C, 0x03, 0x03,
                   0x78, 0x7B},
                  {L, F, L, E, F},
                  1,
                  2,
                  3}),
    [](const testing::TestParamInfo<FaultCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name) {
            ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        }
        return name;
    });

} // namespace
