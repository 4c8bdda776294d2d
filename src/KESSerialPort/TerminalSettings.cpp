#include "TerminalSettings.h"

#include <utility>

std::optional<speed_t> terminalSpeedCode(std::uint64_t bitsPerSecond) {
    static constexpr std::pair<std::uint64_t, speed_t> codes[] = {
        {0, B0},
        {50, B50},
        {75, B75},
        {110, B110},
        {134, B134},
        {150, B150},
        {200, B200},
        {300, B300},
        {600, B600},
        {1200, B1200},
        {1800, B1800},
        {2400, B2400},
        {4800, B4800},
        {9600, B9600},
        {19200, B19200},
        {38400, B38400},
        {57600, B57600},
        {115200, B115200},
        {230400, B230400},
        {460800, B460800},
        {500000, B500000},
        {576000, B576000},
        {921600, B921600},
        {1000000, B1000000},
        {1152000, B1152000},
        {1500000, B1500000},
        {2000000, B2000000},
        {2500000, B2500000},
        {3000000, B3000000},
        {3500000, B3500000},
        {4000000, B4000000},
    };
    for (const auto& [value, code] : codes) {
        if (value == bitsPerSecond) {
            return code;
        }
    }
    return std::nullopt;
}

TerminalSettings terminalSettingsFor(const termios& current,
                                     const KESSerialPortLineSettings& settings) {
    TerminalSettings result;
    termios& attributes = result.attributes;
    attributes = current;
    ::cfmakeraw(&attributes);
    attributes.c_cc[VMIN] = 1;
    attributes.c_cc[VTIME] = 2;
    attributes.c_cflag &= ~CSIZE;
    attributes.c_cflag |= CS8;
    switch (settings.parity) {
    case KESSerialPortParityOdd:
        attributes.c_cflag |= PARENB | PARODD;
        break;
    case KESSerialPortParityEven:
        attributes.c_cflag |= PARENB;
        attributes.c_cflag &= ~PARODD;
        break;
    default:
        attributes.c_cflag &= ~PARENB; // PARODD stays as it was: without PARENB it means nothing
        break;
    }
    if (settings.numberOfStopBits > 1) {
        attributes.c_cflag |= CSTOPB;
    } else {
        attributes.c_cflag &= ~CSTOPB;
    }
    if (settings.echo) {
        attributes.c_lflag |= ECHO;
    } else {
        attributes.c_lflag &= ~ECHO;
    }
    if (settings.usesRTSCTSFlowControl) {
        attributes.c_cflag |= CRTSCTS;
    } else {
        attributes.c_cflag &= ~CRTSCTS;
    }
    attributes.c_cflag |= HUPCL | CLOCAL | CREAD;
    attributes.c_lflag &= ~(ICANON | ISIG);

    const std::uint64_t rate = settings.baudRate.value_or(0);
    if (const std::optional<speed_t> code = terminalSpeedCode(rate)) {
        ::cfsetspeed(&attributes, *code);
    } else {
        result.arbitraryRate = rate;
    }
    return result;
}
