// The port's line settings as they reach the terminal driver, from fuzzed settings and a fuzzed
// starting state: the termios attributes, the speed code or arbitrary rate, and the arbitrary rate
// through a real pseudo-terminal and back. Checked: every setting shows in the attributes, the
// rest of the starting state is kept, and a rate comes back as the rate asked for.
#include "FuzzCheck.h"
#include "TerminalSettings.h"
#include "TerminalSpeed.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>
#include <vector>

namespace {

// Rates a port is asked for, so that the speed codes are reached often.
constexpr std::uint64_t knownRates[] = {0,      50,     75,      110,     300,     1200,    9600,
                                        14400,  19200,  28800,   38400,   57600,   115200,  230400,
                                        250000, 500000, 1000000, 4000000, 4000001, 1u << 31};

// One pseudo-terminal for the whole run, opened on first use. Its master stays open, so the
// slave side keeps its attributes; the kernel closes both when the fuzzer exits.
int slaveTerminal() {
    static const int slave = [] {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        FUZZ_CHECK(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const int fd = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        FUZZ_CHECK(fd >= 0);
        return fd;
    }();
    return slave;
}

// Which bits of each flag word terminalSettingsFor may change; every other bit must be current's.
// The C library's cfsetispeed keeps a flag of its own in the top bit of c_iflag (input speed
// 0: follow the output speed), set for B0 and cleared otherwise; tcsetattr takes it out again.
constexpr tcflag_t libraryInputSpeedFlag = 0x80000000u;
constexpr tcflag_t rawInputBits = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON;
constexpr tcflag_t inputBits = rawInputBits | libraryInputSpeedFlag;
constexpr tcflag_t outputBits = OPOST;
constexpr tcflag_t localBits = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
constexpr tcflag_t controlBits =
    CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL | CLOCAL | CREAD | CBAUD | CBAUDEX;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    KESSerialPortLineSettings settings;
    if (input.ConsumeBool()) {
        settings.baudRate = input.ConsumeBool() ? input.PickValueInArray(knownRates)
                                                : input.ConsumeIntegral<std::uint64_t>();
    }
    settings.numberOfStopBits = input.ConsumeIntegral<std::uint64_t>();
    // Any value of the type, as a caller's arithmetic could make, not only the named ones.
    settings.parity = static_cast<KESSerialPortParity>(input.ConsumeIntegral<std::uint64_t>());
    settings.echo = input.ConsumeBool();
    settings.usesRTSCTSFlowControl = input.ConsumeBool();
    termios current{};
    const std::vector<std::uint8_t> state = input.ConsumeRemainingBytes<std::uint8_t>();
    if (!state.empty()) {
        std::memcpy(&current, state.data(), std::min(state.size(), sizeof current));
    }

    const TerminalSettings result = terminalSettingsFor(current, settings);
    const termios& got = result.attributes;

    FUZZ_CHECK((got.c_cflag & CSIZE) == CS8);
    FUZZ_CHECK((got.c_cflag & (HUPCL | CLOCAL | CREAD)) == (HUPCL | CLOCAL | CREAD));
    const bool odd = settings.parity == KESSerialPortParityOdd;
    const bool even = settings.parity == KESSerialPortParityEven;
    FUZZ_CHECK(((got.c_cflag & PARENB) != 0) == (odd || even));
    if (odd || even) {
        FUZZ_CHECK(((got.c_cflag & PARODD) != 0) == odd);
    }
    FUZZ_CHECK(((got.c_cflag & CSTOPB) != 0) == (settings.numberOfStopBits >= 2));
    FUZZ_CHECK(((got.c_cflag & CRTSCTS) != 0) == settings.usesRTSCTSFlowControl);
    FUZZ_CHECK(((got.c_lflag & ECHO) != 0) == settings.echo);
    FUZZ_CHECK((got.c_lflag & (ICANON | ISIG | IEXTEN | ECHONL)) == 0);
    FUZZ_CHECK((got.c_iflag & rawInputBits) == 0 && (got.c_oflag & outputBits) == 0);
    FUZZ_CHECK(got.c_cc[VMIN] == 1);

    FUZZ_CHECK((got.c_iflag & ~inputBits) == (current.c_iflag & ~inputBits));
    FUZZ_CHECK((got.c_oflag & ~outputBits) == (current.c_oflag & ~outputBits));
    FUZZ_CHECK((got.c_lflag & ~localBits) == (current.c_lflag & ~localBits));
    FUZZ_CHECK((got.c_cflag & ~controlBits) == (current.c_cflag & ~controlBits));
    FUZZ_CHECK(got.c_line == current.c_line);
    for (std::size_t i = 0; i < NCCS; ++i) {
        FUZZ_CHECK(i == VMIN || i == VTIME || got.c_cc[i] == current.c_cc[i]);
    }

    const std::uint64_t rate = settings.baudRate.value_or(0);
    const std::optional<speed_t> code = terminalSpeedCode(rate);
    FUZZ_CHECK(result.arbitraryRate.has_value() != code.has_value());
    if (code) {
        FUZZ_CHECK(::cfgetospeed(&got) == *code && ::cfgetispeed(&got) == *code);
        FUZZ_CHECK((got.c_cflag & (CBAUD | CBAUDEX)) == *code);
    } else {
        FUZZ_CHECK(*result.arbitraryRate == rate);
        FUZZ_CHECK((got.c_cflag & (CBAUD | CBAUDEX)) == (current.c_cflag & (CBAUD | CBAUDEX)));
        // The port refuses rates beyond 32 bits before they reach the driver; the rest must
        // arrive as they are.
        if (rate <= UINT32_MAX) {
            const int fd = slaveTerminal();
            FUZZ_CHECK(TerminalSpeed::setArbitrary(fd, static_cast<std::uint32_t>(rate)));
            FUZZ_CHECK(TerminalSpeed::current(fd) == rate);
        }
    }
    return 0;
}
