#include "KESSerialPortErrorKind.h"

#include <cerrno>

KESSerialPortErrorKind classifySerialError(int code) {
    switch (code) {
    case EIO:
    case ENXIO:
    case ENODEV:
        return KESSerialPortErrorKind::deviceGone;
    // flock answers EWOULDBLOCK; a device another user holds with TIOCEXCL answers EBUSY.
    case EWOULDBLOCK:
    case EBUSY:
        return KESSerialPortErrorKind::inUse;
    case EACCES:
    case EPERM:
        return KESSerialPortErrorKind::noPermission;
    case ENOENT:
        return KESSerialPortErrorKind::noSuchDevice;
    case ENOTTY:
        return KESSerialPortErrorKind::notATerminal;
    default:
        return KESSerialPortErrorKind::other;
    }
}

std::string describeSerialErrorKind(KESSerialPortErrorKind kind) {
    switch (kind) {
    case KESSerialPortErrorKind::deviceGone:
        return "the device has gone";
    case KESSerialPortErrorKind::inUse:
        return "in use by another program";
    case KESSerialPortErrorKind::noPermission:
        return "no permission to use the device";
    case KESSerialPortErrorKind::noSuchDevice:
        return "no such device";
    case KESSerialPortErrorKind::notATerminal:
        return "not a serial device";
    case KESSerialPortErrorKind::other:
        break;
    }
    return "the device failed";
}
