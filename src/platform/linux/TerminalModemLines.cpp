#include "TerminalModemLines.h"

#include <sys/ioctl.h>

bool TerminalModemLines::read(int descriptor, int& word) {
    return ::ioctl(descriptor, TIOCMGET, &word) == 0;
}

bool TerminalModemLines::write(int descriptor, int word) {
    return ::ioctl(descriptor, TIOCMSET, &word) == 0;
}
