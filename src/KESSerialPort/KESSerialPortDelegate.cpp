#include "KESSerialPortDelegate.h"

void KESSerialPortDelegate::serialPortDidEncounterError(KESSerialPort&, const PosixError&) {}
void KESSerialPortDelegate::serialPortWasOpened(KESSerialPort&) {}
void KESSerialPortDelegate::serialPortWasClosed(KESSerialPort&) {}
