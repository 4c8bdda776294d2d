#pragma once

#include "StationKind.h"

class KESSerialPort;

// Gives port the line settings a station of kind usually wants (usualLineSettings): its rate, 8N1
// without flow control, and RTS and DTR on where it wants them. The board's are left as they are.
// Main thread only.
void proposeStationLine(KESSerialPort& port, StationKind kind);
