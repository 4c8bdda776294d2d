#include "MemoryTextView.h"
#include "Utf8StreamDecoder.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const std::string replacement = "\xEF\xBF\xBD";

Bytes bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

struct DecodingCase {
    const char* what;
    std::vector<std::string> chunks;
    std::vector<std::string> texts; // what each chunk yields
};

class Utf8StreamDecoderTest : public testing::TestWithParam<DecodingCase> {};

TEST_P(Utf8StreamDecoderTest, YieldsEachCharacterOnceWithTheChunkThatCompletesIt) {
    const DecodingCase& c = GetParam();
    Utf8StreamDecoder decoder;
    ASSERT_EQ(c.chunks.size(), c.texts.size());
    for (std::size_t i = 0; i < c.chunks.size(); ++i) {
        EXPECT_EQ(decoder.decode(bytes(c.chunks[i])), c.texts[i]) << c.what << ", chunk " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, Utf8StreamDecoderTest,
    testing::Values(
        DecodingCase{"plain text", {"abc", "def"}, {"abc", "def"}},
        DecodingCase{"empty chunk", {"", "a"}, {"", "a"}},
        DecodingCase{"two-byte character split", {"caf\xC3", "\xA9!"}, {"caf", "\xC3\xA9!"}},
        DecodingCase{"four bytes over three chunks",
                     {"\xF0\x9F", "\x98", "\x80"},
                     {"", "", "\xF0\x9F\x98\x80"}},
        DecodingCase{"byte that is never UTF-8",
                     {"a\xFF"
                      "b"},
                     {"a" + replacement + "b"}},
        DecodingCase{"stray continuation byte",
                     {"\x80"
                      "x"},
                     {replacement + "x"}},
        DecodingCase{"lead cut short keeps the next character",
                     {"\xC3(", "\xE2\x82"},
                     {replacement + "(", ""}},
        DecodingCase{"overlong form", {"\xC0\xAF"}, {replacement + replacement}},
        DecodingCase{"surrogate", {"\xED\xA0\x80"}, {replacement + replacement + replacement}},
        DecodingCase{"held-back lead broken by the next chunk",
                     {"\xE2\x82", "A"},
                     {"", replacement + "A"}}));

TEST(MemoryTextViewTest, KeepsTheNewestLinesUpToItsLimitAndCountsCharacters) {
    MemoryTextView view;
    view.appendString("h\xC3\xA9");
    view.appendString("llo");
    EXPECT_EQ(view.string(), "h\xC3\xA9llo");
    EXPECT_EQ(view.length(), 5u) << "characters, not bytes";

    view.setMaximumLineCount(3);
    view.appendString("\n1\n2\n3\n4");
    EXPECT_EQ(view.string(), "2\n3\n4");
    EXPECT_EQ(view.length(), 5u);
    view.appendString("5\n");
    EXPECT_EQ(view.string(), "3\n45\n") << "a trailing break starts a line of its own";
    EXPECT_EQ(view.lineCount(), 3u);

    view.clear();
    EXPECT_EQ(view.string(), "");
    EXPECT_EQ(view.length(), 0u);
}

} // namespace
