#include "HBAppDelegate.h"

#include "KESSerialPort.h"
#include "KESSerialPortManager.h"
#include "MainQueue.h"

void HBAppDelegate::applicationWillTerminate() {
    DCCCAB_ASSERT_MAIN_THREAD();
    KESSerialPortManager& manager =
        manager_ != nullptr ? *manager_ : KESSerialPortManager::sharedSerialPortManager();
    if (!manager.availablePorts()) {
        return;
    }
    // A copy: a delegate told of a close may change the list.
    const KESSerialPortManager::PortList ports = *manager.availablePorts();
    for (const auto& port : ports) {
        static_cast<void>(port->close()); // the outcome changes nothing at quit
    }
}
