#include "QtTextView.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct Appending {
    const char* name;
    std::size_t maximumLines;
    std::vector<std::string> chunks;
    std::string text;
    std::size_t length;
};

void PrintTo(const Appending& appending, std::ostream* out) {
    *out << appending.name;
}

class QtTextViewTest : public testing::TestWithParam<Appending> {};

TEST_P(QtTextViewTest, AppendsAtTheEndKeepsTheNewestLinesAndCountsCharacters) {
    QPlainTextEdit edit;
    QtTextView view(edit);
    view.setMaximumLineCount(GetParam().maximumLines);
    for (const std::string& chunk : GetParam().chunks) {
        view.appendString(chunk);
    }
    EXPECT_EQ(view.string(), GetParam().text);
    EXPECT_EQ(view.length(), GetParam().length);
    EXPECT_EQ(view.maximumLineCount(), GetParam().maximumLines);
    EXPECT_TRUE(edit.isReadOnly());
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, QtTextViewTest,
    testing::Values(
        Appending{"NothingBetweenChunks", 0, {"abc", "def"}, "abcdef", 6},
        Appending{"LinesAcrossChunks", 0, {"OK 1\nO", "K 2\n"}, "OK 1\nOK 2\n", 10},
        // A character outside the basic plane is one character, two UTF-16 units.
        Appending{"CodePointsNotBytesOrUnits", 0, {"\xc3\xa9", "\xf0\x9f\x9a\x82"}, "é🚂", 2},
        Appending{"OldestLinesDropped", 2, {"one\ntwo\n", "three\nfour"}, "three\nfour", 10},
        Appending{"EmptyChunkChangesNothing", 0, {"", "x", ""}, "x", 1}),
    [](const testing::TestParamInfo<Appending>& info) { return std::string(info.param.name); });

// A burst of replies goes into the document as one change, with its scroll, once the event loop
// runs; until then the view still counts it, and clear drops it.
TEST(QtTextViewBatchingTest, ABurstGoesInAsOneChangeAndScrollsWithIt) {
    QPlainTextEdit edit;
    edit.resize(200, 60);
    QtTextView view(edit);
    int changes = 0;
    QObject::connect(edit.document(), &QTextDocument::contentsChange, [&] { ++changes; });
    for (int reply = 0; reply < 200; ++reply) {
        view.appendString("ACKNOWLEDGE\n");
        view.scrollToEnd();
    }
    EXPECT_EQ(edit.toPlainText(), "") << "nothing laid out per reply";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !edit.toPlainText().isEmpty(); }));
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(edit.blockCount(), 201);
    EXPECT_EQ(edit.verticalScrollBar()->value(), edit.verticalScrollBar()->maximum());
    EXPECT_GT(edit.verticalScrollBar()->maximum(), 0);

    view.appendString("lost\n");
    EXPECT_EQ(view.length(), 200u * 12 + 5) << "counts what is on its way";
    view.appendString("dropped");
    view.clear();
    EXPECT_EQ(view.string(), "");
}

} // namespace
