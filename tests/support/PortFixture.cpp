#include "PortFixture.h"

#include <unistd.h>

void PortFixture::SetUp() {
    MainQueue::setShared(&queue);
    dialinPath_ = testing::TempDir() + "serial-by-id-" + std::to_string(::getpid());
    ::unlink(dialinPath_.c_str());
    ASSERT_EQ(::symlink(pty.slavePath().c_str(), dialinPath_.c_str()), 0);
    device = registry.addDevice(pty.slavePath(), dialinPath_, "ttyTEST0");
    port = KESSerialPort::serialPortWithPath(pty.slavePath());
    ASSERT_NE(port, nullptr);
    port->setDelegate(&delegate);
}

void PortFixture::TearDown() {
    if (port != nullptr) {
        port->setDelegate(nullptr);
        port->close();
    }
    waitForThreads(0);
    port.reset();
    ::unlink(dialinPath_.c_str());
    MainQueue::setShared(nullptr);
}

void PortFixture::runUntil(const std::function<bool()>& condition) {
    ASSERT_TRUE(queue.runUntil(condition)) << "condition never held";
}

void PortFixture::waitForThreads(std::size_t running) {
    runUntil([running] { return BackgroundThreads::shared().running() == running; });
}
