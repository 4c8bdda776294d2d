#include "StationLine.h"

#include "KESSerialPort.h"

void proposeStationLine(KESSerialPort& port, StationKind kind) {
    const std::optional<StationLineSettings> usual = usualLineSettings(kind);
    if (!usual) {
        return;
    }
    port.setBaudRate(usual->baudRate);
    port.setNumberOfStopBits(1);
    port.setParity(KESSerialPortParityNone);
    port.setUsesRTSCTSFlowControl(false);
    if (usual->assertsRTSAndDTR) {
        port.setRTS(true);
        port.setDTR(true);
    }
}
