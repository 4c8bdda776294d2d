#include "KESSerialPort.h"
#include "PortFixture.h"
#include "TerminalSettings.h"

#include <gmock/gmock.h>
#include <termios.h>

namespace {

using KESSerialPortSettings = PortFixture;

termios attributesOf(int descriptor) {
    termios attributes{};
    EXPECT_EQ(::tcgetattr(descriptor, &attributes), 0);
    return attributes;
}

TEST_F(KESSerialPortSettings, SettingsStoredWhileClosedAreAllInForceAfterOpen) {
    port->setBaudRate(9600);
    port->setNumberOfStopBits(2);
    port->setShouldEchoReceivedData(true);
    port->setParity(KESSerialPortParityOdd);
    EXPECT_EQ(attributesOf(pty.slave()).c_cflag & CSTOPB, 0u) << "nothing reaches a closed port";

    port->open();
    const termios applied = attributesOf(pty.slave());
    EXPECT_EQ(::cfgetospeed(&applied), static_cast<speed_t>(B9600));
    EXPECT_NE(applied.c_cflag & CSTOPB, 0u);
    EXPECT_NE(applied.c_lflag & ECHO, 0u);
    // A pseudo-terminal always clears PARENB itself; PARODD shows which parity was asked for.
    EXPECT_NE(applied.c_cflag & PARODD, 0u);

    // And they survive a close and reopen.
    port->close();
    port->open();
    const termios reopened = attributesOf(pty.slave());
    EXPECT_EQ(::cfgetospeed(&reopened), static_cast<speed_t>(B9600));
    EXPECT_NE(reopened.c_cflag & CSTOPB, 0u);
}

TEST_F(KESSerialPortSettings, AParityOutsideTheEnumerationIsStoredAsNone) {
    // How each value maps to attributes is the table test's below; this is the setter's part.
    port->open();
    port->setParity(KESSerialPortParityEven);
    port->setParity(static_cast<KESSerialPortParity>(7));
    EXPECT_EQ(port->parity(), KESSerialPortParityNone);
}

TEST_F(KESSerialPortSettings, AnUnchangedValueAppliesNothing) {
    port->open();
    termios changedBehindItsBack = attributesOf(pty.slave());
    changedBehindItsBack.c_lflag |= ECHO;
    ASSERT_EQ(::tcsetattr(pty.slave(), TCSANOW, &changedBehindItsBack), 0);

    port->setBaudRate(38400);
    port->setNumberOfStopBits(1);
    port->setParity(KESSerialPortParityNone);
    EXPECT_NE(attributesOf(pty.slave()).c_lflag & ECHO, 0u) << "an equal value was reapplied";

    port->setBaudRate(19200);
    EXPECT_EQ(attributesOf(pty.slave()).c_lflag & ECHO, 0u) << "a new value applies everything";
}

TEST_F(KESSerialPortSettings, RatesWithoutASpeedCodeReachTheDriverAsNumbers) {
    port->open();
    for (std::uint64_t rate : {14400u, 28800u, 250000u, 115200u}) {
        port->setBaudRate(rate);
        EXPECT_EQ(TerminalSpeed::current(pty.slave()), rate);
    }
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();

    port->setBaudRate(std::nullopt); // no rate: speed 0
    const termios stopped = attributesOf(pty.slave());
    EXPECT_EQ(::cfgetospeed(&stopped), static_cast<speed_t>(B0));
}

TEST_F(KESSerialPortSettings, FlowControlFlagsLinuxLacksAreKeptAndExplainedOnce) {
    port->open();
    port->setUsesDTRDSRFlowControl(true);
    port->setUsesDCDOutputFlowControl(true);
    EXPECT_TRUE(port->usesDTRDSRFlowControl());
    EXPECT_TRUE(port->usesDCDOutputFlowControl());
    EXPECT_TRUE(port->isOpen());
    EXPECT_THAT(log.lines(), testing::ElementsAre(testing::HasSubstr(
                                 "DTR/DSR and DCD flow control are not available")));
}

TEST_F(KESSerialPortSettings, OutputLinesAreStoredOnADeviceWithoutModemLines) {
    port->setRTS(true);
    port->setDTR(true);
    port->open();
    EXPECT_TRUE(port->RTS());
    EXPECT_TRUE(port->DTR());
    port->setRTS(false);
    queue.drain();
    EXPECT_FALSE(port->RTS());
    EXPECT_TRUE(delegate.errors.empty());
}

TEST(TerminalSettings, LineSettingsMapToRawAttributesAndTheRightRatePath) {
    // A device left cooked, 7-bit, odd, two stop bits, flow-controlled and at 9600 by someone else.
    termios cooked{};
    cooked.c_iflag = ICRNL | IXON;
    cooked.c_oflag = OPOST | ONLCR;
    cooked.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
    ::cfsetspeed(&cooked, B9600);

    struct Case {
        const char* name;
        KESSerialPortLineSettings settings;
        tcflag_t set;     // control-mode bits that must be set
        tcflag_t cleared; // and those that must be clear
        bool echo;
        speed_t speed;
        std::optional<std::uint64_t> arbitraryRate;
    };
    const Case cases[] = {
        {"defaults",
         {38400, 1, KESSerialPortParityNone, false, false},
         PARODD,
         PARENB | CSTOPB | CRTSCTS,
         false,
         B38400,
         std::nullopt},
        {"odd, two stop bits",
         {9600, 2, KESSerialPortParityOdd, false, false},
         PARENB | PARODD | CSTOPB,
         CRTSCTS,
         false,
         B9600,
         std::nullopt},
        {"even, three stop bits",
         {115200, 3, KESSerialPortParityEven, false, false},
         PARENB | CSTOPB,
         PARODD,
         false,
         B115200,
         std::nullopt},
        {"no stop bits is one",
         {19200, 0, KESSerialPortParityNone, false, false},
         0,
         CSTOPB,
         false,
         B19200,
         std::nullopt},
        {"echo and RTS/CTS",
         {57600, 1, KESSerialPortParityNone, true, true},
         CRTSCTS,
         PARENB,
         true,
         B57600,
         std::nullopt},
        {"no rate hangs up",
         {std::nullopt, 1, KESSerialPortParityNone, false, false},
         0,
         0,
         false,
         B0,
         std::nullopt},
        {"a rate without a code",
         {250000, 1, KESSerialPortParityNone, false, false},
         0,
         0,
         false,
         B9600,
         250000},
        {"another one",
         {14400, 1, KESSerialPortParityNone, false, false},
         0,
         0,
         false,
         B9600,
         14400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TerminalSettings mapped = terminalSettingsFor(cooked, c.settings);
        const termios& a = mapped.attributes;
        EXPECT_EQ(a.c_cflag & c.set, c.set);
        EXPECT_EQ(a.c_cflag & c.cleared, 0u);
        EXPECT_EQ(a.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(a.c_cflag & (HUPCL | CLOCAL | CREAD),
                  static_cast<tcflag_t>(HUPCL | CLOCAL | CREAD));
        EXPECT_EQ((a.c_lflag & ECHO) != 0, c.echo);
        EXPECT_EQ(a.c_lflag & (ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(a.c_iflag & (ICRNL | IXON), 0u);
        EXPECT_EQ(a.c_oflag & OPOST, 0u);
        EXPECT_EQ(a.c_cc[VMIN], 1);
        EXPECT_EQ(a.c_cc[VTIME], 2);
        EXPECT_EQ(::cfgetospeed(&a), c.speed);
        EXPECT_EQ(::cfgetispeed(&a), c.speed);
        EXPECT_EQ(mapped.arbitraryRate, c.arbitraryRate);
    }
}

} // namespace
