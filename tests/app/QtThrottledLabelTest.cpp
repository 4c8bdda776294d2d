#include "QtThrottledLabel.h"

#include <QLabel>
#include <QTest>
#include <gtest/gtest.h>

namespace {

// A stream of texts: the first shows at once, the ones in between are skipped, the newest shows
// when the interval ends, and nothing is left behind.
TEST(QtThrottledLabel, ShowsTheFirstAtOnceAndTheNewestAfterTheInterval) {
    QLabel label("start");
    QtThrottledLabel throttled(label);
    throttled.setText("start"); // no change: nothing to wait out
    throttled.setText("frame 1");
    EXPECT_EQ(label.text(), "frame 1");
    for (int frame = 2; frame <= 100; ++frame) {
        throttled.setText(QString("frame %1").arg(frame));
    }
    EXPECT_EQ(label.text(), "frame 1");
    EXPECT_TRUE(QTest::qWaitFor([&] { return label.text() == "frame 100"; }, 20000));
}

} // namespace
