#pragma once

#include "Bytes.h"
#include "PosixError.h"

class KESSerialPort;

// What a serial port tells its user. The two required callbacks must be implemented; the others
// are optional and do nothing unless overridden, so a delegate that leaves them alone hears no
// errors, opens or closes.
//
// Every callback runs on the main thread. The port never owns its delegate: a delegate that goes
// away first must set the port's delegate to null.
class KESSerialPortDelegate {
public:
    // The bytes of one read, in read order. Never after serialPortWasClosed for bytes of the
    // opening that closed.
    virtual void serialPortDidReceiveData(KESSerialPort& port, const Bytes& data) = 0;
    // The device has left the system; the port has been closed.
    virtual void serialPortWasRemovedFromSystem(KESSerialPort& port) = 0;

    virtual void serialPortDidEncounterError(KESSerialPort& port, const PosixError& error);
    virtual void serialPortWasOpened(KESSerialPort& port);
    virtual void serialPortWasClosed(KESSerialPort& port);

protected:
    ~KESSerialPortDelegate() = default;
};
