#include "ReplyShaper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using testing::ElementsAreArray;

namespace {

struct Row {
    const char* name;
    BoardKnobs knobs;
    // What goes out for replies "OK 1\n", "OK 2\n", ...: the writes joined by "|", "-" for
    // nothing, and " +hang up" when the line is to close after them.
    std::vector<std::string> out;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

BoardKnobs with(void (*set)(BoardKnobs&)) {
    BoardKnobs knobs;
    set(knobs);
    return knobs;
}

class ReplyShaperTable : public testing::TestWithParam<Row> {};

TEST_P(ReplyShaperTable, ShapesEachReply) {
    const Row& row = GetParam();
    ReplyShaper shaper(row.knobs);
    std::vector<std::string> out;
    for (std::size_t n = 1; n <= row.out.size(); ++n) {
        const ReplyShaper::Plan plan = shaper.shape("OK " + std::to_string(n) + "\n");
        std::string text;
        for (const auto& write : plan.writes) {
            if (!text.empty()) {
                text += '|';
            }
            text.append(write.begin(), write.end());
        }
        out.push_back((text.empty() ? "-" : text) + (plan.hangUp ? " +hang up" : ""));
    }
    EXPECT_THAT(out, ElementsAreArray(row.out));
}

INSTANTIATE_TEST_SUITE_P(Knobs, ReplyShaperTable,
                         testing::Values(Row{"off", {}, {"OK 1\n", "OK 2\n", "OK 3\n"}},
                                         Row{"drop every second",
                                             with([](BoardKnobs& k) { k.dropEvery = 2; }),
                                             {"OK 1\n", "-", "OK 3\n", "-"}},
                                         Row{"split every second",
                                             with([](BoardKnobs& k) { k.splitEvery = 2; }),
                                             {"OK 1\n", "OK| 2\n", "OK 3\n", "OK| 4\n"}},
                                         Row{"merge every second",
                                             with([](BoardKnobs& k) { k.mergeEvery = 2; }),
                                             {"OK 1\n", "-", "OK 2\nOK 3\n", "-", "OK 4\nOK 5\n"}},
                                         Row{"merge every reply pairs them",
                                             with([](BoardKnobs& k) { k.mergeEvery = 1; }),
                                             {"-", "OK 1\nOK 2\n", "-", "OK 3\nOK 4\n"}},
                                         Row{"merged replies split",
                                             with([](BoardKnobs& k) {
                                                 k.mergeEvery = 1;
                                                 k.splitEvery = 2;
                                             }),
                                             {"-", "OK 1\n|OK 2\n"}},
                                         Row{"garble every third",
                                             with([](BoardKnobs& k) { k.garbleEvery = 3; }),
                                             {"OK 1\n", "OK 2\n", "\xFF\xFEOK 3\n"}},
                                         Row{"silent after two",
                                             with([](BoardKnobs& k) { k.silentAfter = 2; }),
                                             {"OK 1\n", "OK 2\n", "-", "-"}},
                                         Row{"silent from the start",
                                             with([](BoardKnobs& k) { k.silentAfter = 0; }),
                                             {"-", "-"}},
                                         Row{"silence drops a held reply",
                                             with([](BoardKnobs& k) {
                                                 k.mergeEvery = 1;
                                                 k.silentAfter = 1;
                                             }),
                                             {"-", "-", "-"}},
                                         Row{"hang up after two",
                                             with([](BoardKnobs& k) { k.hangUpAfter = 2; }),
                                             {"OK 1\n", "OK 2\n +hang up"}},
                                         Row{"hang up even when silent",
                                             with([](BoardKnobs& k) {
                                                 k.silentAfter = 0;
                                                 k.hangUpAfter = 1;
                                             }),
                                             {"- +hang up"}}),
                         [](const testing::TestParamInfo<Row>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name) {
                                 ch = ch == ' ' ? '_' : ch;
                             }
                             return name;
                         });

} // namespace
