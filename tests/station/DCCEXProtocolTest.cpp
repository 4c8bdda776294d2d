#include "DCCEXProtocol.h"

#include "StationTestSupport.h"

#include <gtest/gtest.h>
#include <optional>

namespace {

constexpr std::int64_t fourteenStepAddress = 5;

TEST(DCCEXProtocol, ReadsEachPacketBackIntoCommands) {
    struct Row {
        std::vector<std::uint8_t> body; // the packet without its error byte
        std::string commands;           // what is written, before the closing "<#>"
        std::optional<std::uint8_t> errorByte = std::nullopt; // a wrong one, if any
    };
    const std::vector<Row> rows = {
        // 128 steps: code n >= 2 is speed n - 1, 1 the emergency stop.
        {{0x03, 0x3F, 0xB3}, "<t 3 50 1>"},
        {{0x03, 0x3F, 0x80}, "<t 3 0 1>"},
        {{0x03, 0x3F, 0x01}, "<t 3 -1 0>"},
        {{0xE7, 0xFF, 0x3F, 0xFF}, "<t 10239 126 1>"},
        // 28 steps: step s is speed s * 126 / 28, rounded half up.
        {{0x03, 0x62}, "<t 3 5 1>"},
        {{0x03, 0x63}, "<t 3 14 1>"},
        {{0x03, 0x7F}, "<t 3 126 1>"},
        {{0x03, 0x50}, "<t 3 0 0>"},
        {{0x03, 0x51}, "<t 3 -1 0>"},
        // 14 steps: step s is speed 9 s, and bit 4 is F0.
        {{fourteenStepAddress, 0x75}, "<t 5 36 1><F 5 0 1>"},
        {{fourteenStepAddress, 0x41}, "<t 5 -1 0><F 5 0 0>"},
        // Function groups, every function of the group in order.
        {{0x03, 0x95}, "<F 3 0 1><F 3 1 1><F 3 2 0><F 3 3 1><F 3 4 0>"},
        {{fourteenStepAddress, 0x9A}, "<F 5 1 0><F 5 2 1><F 5 3 0><F 5 4 1>"},
        {{0x03, 0xB1}, "<F 3 5 1><F 3 6 0><F 3 7 0><F 3 8 0>"},
        {{0x03, 0xA8}, "<F 3 9 0><F 3 10 0><F 3 11 0><F 3 12 1>"},
        {{0x03, 0xDE, 0x81},
         "<F 3 13 1><F 3 14 0><F 3 15 0><F 3 16 0><F 3 17 0><F 3 18 0><F 3 19 0><F 3 20 1>"},
        {{0xC0, 0x80, 0xDF, 0x02},
         "<F 128 21 0><F 128 22 1><F 128 23 0><F 128 24 0><F 128 25 0><F 128 26 0><F 128 27 0>"
         "<F 128 28 0>"},
        // Broadcast: only the emergency stop has a command of its own.
        {{0x00, 0x71}, "<!>"},
        {{0x00, 0x3F, 0x81}, "<!>"},
        {{0x00, 0x60}, "<M 0 00 60>"},
        // Everything else goes raw, without its error byte.
        {{0xFF, 0x00}, "<M 0 FF 00>"},
        {{0x00, 0x00}, "<M 0 00 00>"},
        {{0x81, 0xF8}, "<M 0 81 F8>"},
        {{0x03, 0xEC, 0x00, 0x05}, "<M 0 03 EC 00 05>"},
        {{0x03, 0x3F}, "<M 0 03 3F>"},
        {{0xC0, 0x00, 0x3F, 0x85}, "<M 0 C0 00 3F 85>"},
        {{0x03, 0x3F, 0xB3}, "<M 0 03 3F B3>", 0x00},
        {{0xC1, 0x02, 0xEC, 0x00, 0x05, 0x06}, "<M 0 C1 02 EC 00 05>"},
    };
    DCCEXProtocol station;
    station.setSpeedSteps(fourteenStepAddress, 14);
    for (const Row& row : rows) {
        Bytes packet = withErrorByte(row.body);
        if (row.errorByte) {
            packet.back() = *row.errorByte;
        }
        EXPECT_EQ(textOf(station.encodePacket(packet)), row.commands + "<#>") << row.commands;
    }
}

TEST(DCCEXProtocol, ReadsLinesHoweverTheyArrive) {
    const std::string longName(1100, 'a');
    const std::string longGarbage(1100, 'z');
    struct Row {
        std::vector<std::string> pieces;
        std::vector<std::string> events;
    };
    const std::vector<Row> rows = {
        {{"<# 50>\n"}, {"reply"}},
        {{"<", "# 5", "0>\r", "\n"}, {"reply"}},
        {{"<p1>\n<p0 MAIN>\n<p1 JOIN>\n<p0 A>\n"},
         {"power on <p1>", "power off <p0 MAIN>", "power on <p1 JOIN>", "power off <p0 A>"}},
        {{"<p1 PROG>\n<p0 B>\n"}, {"notice <p1 PROG>", "notice <p0 B>"}},
        {{"<l 3 0 178 5>\n<l 10239 1 0 536870912>\n<l 3 0 178 -1>\n"},
         {"locomotive 3 178 5", "locomotive 10239 0 536870912", "notice <l 3 0 178 -1>"}},
        {{"<X>\n"}, {"refused"}},
        {{"<iDCC-EX V-5.0.7 / MEGA / STANDARD_MOTOR_SHIELD G-c389fe9>\n"},
         {"version DCC-EX V-5.0.7 / MEGA / STANDARD_MOTOR_SHIELD G-c389fe9"}},
        {{"<* TRACK A POWER OVERLOAD\n", "(max>2000mA) *", "><# 1>"},
         {"notice TRACK A POWER OVERLOAD\\x0A(max>2000mA)", "reply"}},
        {{"<* License GPLv3 fsf.org (c) dcc-ex.com *>\n"},
         {"stationReset <* License GPLv3 fsf.org (c) dcc-ex.com *>"}},
        {{"<@ 0 1 \"Lic GPLv3\">\n<H 1 0><Q 3>\n"},
         {"notice <@ 0 1 \"Lic GPLv3\">", "notice <H 1 0>", "notice <Q 3>"}},
        {{"  noise\x01 here<# 1>junk\n \t\n"},
         {"unknown noise\\x01 here", "reply", "unknown junk"}},
        {{"<p1\n<# 2>"}, {"unknown <p1", "reply"}},
        // Past the limit a line is cut where it reached it; only the first cut is reported.
        {{"<H " + longName + ">\n<# 1>", "<H " + longName + ">"},
         {"notice <H " + longName.substr(0, 1021), "lineTooLong", "reply",
          "notice <H " + longName.substr(0, 1021)}},
        {{longGarbage + "<# 1>"},
         {"unknown " + longGarbage.substr(0, 1024), "lineTooLong", "reply"}},
        {{"<* " + longName + " *", ">\n<# 1>"},
         {"notice " + longName.substr(0, 1021), "lineTooLong", "reply"}},
    };
    for (const Row& row : rows) {
        DCCEXProtocol station;
        EXPECT_EQ(feedPieces(station, row.pieces), row.events) << row.pieces.front().substr(0, 40);
    }
}

} // namespace
