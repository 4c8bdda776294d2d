#include "KESSerialPort.h"

#include "BackgroundThreads.h"
#include "DeviceRegistry.h"
#include "KESSerialPortDelegate.h"
#include "Log.h"
#include "MainQueue.h"
#include "ModemLines.h"
#include "RepeatingTimer.h"
#include "TerminalSpeed.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

using namespace std::chrono_literals;

// One successful open: its descriptor, and the stop flag that ties the background work of this
// opening to it. Once stopped, no read loop or poll of this opening touches the descriptor again,
// even if a later open is given the same descriptor number.
class KESSerialPort::Opening {
public:
    explicit Opening(int descriptor)
        : descriptor_(descriptor), wakeDescriptor_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Opening() {
        if (wakeDescriptor_ >= 0) {
            ::close(wakeDescriptor_);
        }
    }
    Opening(const Opening&) = delete;
    Opening& operator=(const Opening&) = delete;

    int descriptor() const { return descriptor_; }
    // Readable once the opening is stopped, so a waiting read loop wakes at once.
    int wakeDescriptor() const { return wakeDescriptor_; }

    // Main thread. Returns once no background work of this opening is inside a call on the
    // descriptor, and none will start: a thread waiting in poll holds the open file, and with it
    // the device's lock, so an immediate reopen would find the device still held.
    void stop() {
        std::unique_lock lock(mutex_);
        stopped_ = true;
        wake();
        idle_.wait(lock, [this] { return !waiting_; });
    }
    void wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wakeDescriptor_, &one, sizeof one);
    }
    // Background threads: bracket a wait on the descriptor. beginWait is false once stopped.
    bool beginWait() {
        std::lock_guard lock(mutex_);
        waiting_ = !stopped_;
        return waiting_;
    }
    void endWait() {
        {
            std::lock_guard lock(mutex_);
            waiting_ = false;
        }
        idle_.notify_all();
    }
    bool isStopped() const {
        std::lock_guard lock(mutex_);
        return stopped_;
    }
    // Background threads: runs work on the descriptor unless the opening is stopped.
    template <typename Work>
    bool withDescriptor(Work&& work) {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            return false;
        }
        work(descriptor_);
        return true;
    }

    // Settled by open before any background work starts; read-only afterwards.
    bool hasModemLines = true;

private:
    const int descriptor_;
    const int wakeDescriptor_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    bool stopped_ = false;
    bool waiting_ = false;
};

namespace {

struct RegistryEntry {
    const KESSerialPort* port;
    std::weak_ptr<KESSerialPort> weak;
};

// Ports are made and destroyed on the main thread only, so the list needs no lock.
std::vector<RegistryEntry>& registry() {
    static std::vector<RegistryEntry> entries;
    return entries;
}

// The termios speed code of a rate in bits per second; nothing for rates that have none.
std::optional<speed_t> speedCode(std::uint64_t rate) {
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
        if (value == rate) {
            return code;
        }
    }
    return std::nullopt;
}

bool linesAbsent(int error) {
    // What TIOCMGET/TIOCMSET answer on a device without modem lines (every pseudo-terminal).
    return error == ENOTTY || error == EINVAL;
}

} // namespace

// --- Construction and the registry -----------------------------------------------------------

KESSerialPort::KESSerialPort(Private) {
    addDependentKey("isOpen", "fileDescriptor");
}

KESSerialPort::~KESSerialPort() {
    removeSerialPort(this);
    {
        std::lock_guard lock(identityMutex_);
        device_.reset();
    }
    if (pinPollTimer_ != nullptr) {
        pinPollTimer_->stop();
        pinPollTimer_.reset();
    }
    // Only reached open when the process shuts down with the port still open: give the device
    // back rather than leak it.
    if (opening_ != nullptr) {
        opening_->stop();
        const int descriptor = fileDescriptor_.exchange(0);
        if (haveOriginalPortAttributes_) {
            ::tcsetattr(descriptor, TCSANOW, &originalPortAttributes_);
        }
        ::ioctl(descriptor, TIOCNXCL);
        ::close(descriptor);
    }
}

std::shared_ptr<KESSerialPort> KESSerialPort::makePort(const DeviceHandle& device, std::string path,
                                                       std::string name) {
    DCCCAB_ASSERT_MAIN_THREAD();
    auto port = std::make_shared<KESSerialPort>(Private{});
    port->setIoKitDevice(device);
    port->setPath(std::move(path));
    port->setName(std::move(name));
    port->setWriteBuffer({});
    port->applyDefaultSettings();
    addSerialPort(*port);
    return port;
}

void KESSerialPort::applyDefaultSettings() {
    setBaudRate(38400);
    setNumberOfStopBits(1);
    setParity(KESSerialPortParityNone);
    setShouldEchoReceivedData(false);
    setUsesRTSCTSFlowControl(false);
    setUsesDTRDSRFlowControl(false);
    setUsesDCDOutputFlowControl(false);
    setRTS(false);
    setDTR(false);
}

std::shared_ptr<KESSerialPort> KESSerialPort::serialPortWithPath(const std::string& path) {
    const DeviceHandle device = deviceFromBSDPath(path);
    if (device == nullptr) {
        return nullptr;
    }
    return serialPortWithDevice(device);
}

std::shared_ptr<KESSerialPort> KESSerialPort::serialPortWithDevice(const DeviceHandle& device) {
    if (device == nullptr) {
        throw std::logic_error(
            "KESSerialPort::serialPortWithDevice requires non-zero device argument.");
    }
    const std::string callout = bsdCalloutPathFromDevice(device).value_or("");
    if (auto existing = existingPortWithPath(callout)) {
        return existing;
    }
    return makePort(device, callout, modemNameFromDevice(device).value_or(""));
}

std::shared_ptr<KESSerialPort> KESSerialPort::serialPortWithKnownPath(const std::string& path,
                                                                      const std::string& name) {
    if (auto existing = existingPortWithPath(path)) {
        return existing;
    }
    if (const DeviceHandle device = deviceFromBSDPath(path)) {
        return serialPortWithDevice(device);
    }
    struct stat status {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) {
        return nullptr;
    }
    return makePort(nullptr, path, name);
}

std::shared_ptr<KESSerialPort> KESSerialPort::existingPortWithPath(const std::string& path) {
    if (path.empty()) {
        return nullptr;
    }
    for (const RegistryEntry& entry : registry()) {
        if (entry.port->path() == path) {
            if (auto port = entry.weak.lock()) {
                return port;
            }
        }
    }
    return nullptr;
}

std::vector<std::shared_ptr<KESSerialPort>> KESSerialPort::allSerialPorts() {
    std::vector<std::shared_ptr<KESSerialPort>> ports;
    for (const RegistryEntry& entry : registry()) {
        if (auto port = entry.weak.lock()) {
            ports.push_back(std::move(port));
        }
    }
    return ports;
}

void KESSerialPort::addSerialPort(KESSerialPort& port) {
    registry().push_back({&port, port.weak_from_this()});
}

void KESSerialPort::removeSerialPort(const KESSerialPort* port) {
    std::erase_if(registry(), [port](const RegistryEntry& entry) { return entry.port == port; });
}

DeviceHandle KESSerialPort::deviceFromBSDPath(const std::string& path) {
    if (path.empty()) {
        return nullptr;
    }
    for (const DeviceHandle& device : DeviceRegistry::shared().serialDevices()) {
        if (bsdCalloutPathFromDevice(device) == path || bsdDialinPathFromDevice(device) == path) {
            return device;
        }
    }
    return nullptr;
}

std::optional<std::string> KESSerialPort::stringPropertyOfForIOSerialKey(const DeviceHandle& device,
                                                                         const std::string& key) {
    if (device == nullptr) {
        return std::nullopt;
    }
    return device->property(key);
}

std::optional<std::string> KESSerialPort::bsdCalloutPathFromDevice(const DeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, SerialDevice::calloutDeviceKey);
}
std::optional<std::string> KESSerialPort::bsdDialinPathFromDevice(const DeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, SerialDevice::dialinDeviceKey);
}
std::optional<std::string> KESSerialPort::modemNameFromDevice(const DeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, SerialDevice::ttyDeviceKey);
}
std::optional<std::string> KESSerialPort::baseNameFromDevice(const DeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, SerialDevice::ttyBaseNameKey);
}
std::optional<std::string> KESSerialPort::serviceTypeFromDevice(const DeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, SerialDevice::clientTypeKey);
}
std::optional<std::string> KESSerialPort::suffixFromDevice(const DeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, SerialDevice::ttySuffixKey);
}

// --- Properties ------------------------------------------------------------------------------

void KESSerialPort::setDelegate(KESSerialPortDelegate* delegate) {
    delegate_ = delegate;
    didChangeValueForKey("delegate");
}

template <typename T>
T KESSerialPort::lockedGet(const T& field) const {
    std::lock_guard lock(identityMutex_);
    return field;
}

template <typename T>
void KESSerialPort::lockedSet(T& field, T value, const char* key) {
    {
        std::lock_guard lock(identityMutex_);
        field = std::move(value); // a replaced device handle is released here
    }
    didChangeValueForKey(key);
}

template <typename T>
void KESSerialPort::storeAndApply(T& field, T value, const char* key) {
    if (value != field) {
        field = value;
        setPortOptions();
    }
    didChangeValueForKey(key);
}

std::string KESSerialPort::path() const {
    return lockedGet(path_);
}
void KESSerialPort::setPath(std::string path) {
    lockedSet(path_, std::move(path), "path");
}
DeviceHandle KESSerialPort::IOKitDevice() const {
    return lockedGet(device_);
}
void KESSerialPort::setIoKitDevice(DeviceHandle device) {
    lockedSet(device_, std::move(device), "IOKitDevice");
}
std::string KESSerialPort::name() const {
    return lockedGet(name_);
}
void KESSerialPort::setName(std::string name) {
    lockedSet(name_, std::move(name), "name");
}
Bytes KESSerialPort::writeBuffer() const {
    return lockedGet(writeBuffer_);
}
void KESSerialPort::setWriteBuffer(Bytes buffer) {
    lockedSet(writeBuffer_, std::move(buffer), "writeBuffer");
}

void KESSerialPort::setBaudRate(std::optional<std::uint64_t> baudRate) {
    storeAndApply(baudRate_, baudRate, "baudRate");
}
void KESSerialPort::setNumberOfStopBits(std::uint64_t numberOfStopBits) {
    storeAndApply(numberOfStopBits_, numberOfStopBits, "numberOfStopBits");
}
void KESSerialPort::setShouldEchoReceivedData(bool echo) {
    storeAndApply(shouldEchoReceivedData_, echo, "shouldEchoReceivedData");
}

void KESSerialPort::setParity(KESSerialPortParity parity) {
    if (parity != parity_) {
        parity_ = parity > KESSerialPortParityEven ? KESSerialPortParityNone : parity;
        setPortOptions();
    }
    didChangeValueForKey("parity");
}

void KESSerialPort::changeFlowControl(bool& flag, bool uses, const char* key) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (uses != flag) {
        // The line discipline takes a new flow-control mode only on a fresh open.
        const bool wasOpen = isOpen();
        close();
        flag = uses;
        setPortOptions();
        if (wasOpen) {
            open();
        }
    }
    didChangeValueForKey(key);
}

void KESSerialPort::setUsesRTSCTSFlowControl(bool uses) {
    changeFlowControl(usesRTSCTSFlowControl_, uses, "usesRTSCTSFlowControl");
}

void KESSerialPort::setUsesDTRDSRFlowControl(bool uses) {
    changeFlowControl(usesDTRDSRFlowControl_, uses, "usesDTRDSRFlowControl");
}

void KESSerialPort::setUsesDCDOutputFlowControl(bool uses) {
    changeFlowControl(usesDCDOutputFlowControl_, uses, "usesDCDOutputFlowControl");
}

void KESSerialPort::setRTS(bool asserted) {
    setOutputLine(RTS_, TIOCM_RTS, asserted, "RTS");
}

void KESSerialPort::setDTR(bool asserted) {
    setOutputLine(DTR_, TIOCM_DTR, asserted, "DTR");
}

void KESSerialPort::setOutputLine(bool& stored, int bit, bool asserted, const char* key) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (asserted != stored) {
        stored = asserted;
        driveOutputLine(bit, asserted);
    }
    didChangeValueForKey(key);
}

void KESSerialPort::driveOutputLine(int bit, bool asserted) {
    if (!isOpen() || opening_ == nullptr || !opening_->hasModemLines) {
        return; // applied by the next open
    }
    const int descriptor = opening_->descriptor();
    int word = 0;
    if (!ModemLines::shared().read(descriptor, word)) {
        queueError(errno); // writing back a word we could not read would set the lines at random
        return;
    }
    word = asserted ? (word | bit) : (word & ~bit);
    if (!ModemLines::shared().write(descriptor, word)) {
        queueError(errno);
    }
}

void KESSerialPort::setCTS(bool asserted) {
    CTS_ = asserted;
    didChangeValueForKey("CTS");
}
void KESSerialPort::setDSR(bool asserted) {
    DSR_ = asserted;
    didChangeValueForKey("DSR");
}
void KESSerialPort::setDCD(bool asserted) {
    DCD_ = asserted;
    didChangeValueForKey("DCD");
}

void KESSerialPort::setFileDescriptor(std::int32_t descriptor) {
    fileDescriptor_ = descriptor;
    didChangeValueForKey("fileDescriptor");
}

void KESSerialPort::setPinPollTimer(std::shared_ptr<RepeatingTimer> timer) {
    if (timer != pinPollTimer_) {
        pinPollTimer_ = std::move(timer); // the old timer is let go, not stopped
    }
    didChangeValueForKey("pinPollTimer");
}

// --- Line settings ---------------------------------------------------------------------------

void KESSerialPort::setPortOptions() {
    DCCCAB_ASSERT_MAIN_THREAD();
    const int descriptor = fileDescriptor();
    if (descriptor < 1) {
        return;
    }
    termios attributes{};
    if (::tcgetattr(descriptor, &attributes) != 0) {
        return; // not a terminal, or gone: there is nothing to apply the settings to
    }
    ::cfmakeraw(&attributes);
    attributes.c_cc[VMIN] = 1;
    attributes.c_cc[VTIME] = 2;
    attributes.c_cflag &= ~CSIZE;
    attributes.c_cflag |= CS8;
    switch (parity_) {
    case KESSerialPortParityOdd:
        attributes.c_cflag |= PARENB | PARODD;
        break;
    case KESSerialPortParityEven:
        attributes.c_cflag |= PARENB;
        attributes.c_cflag &= ~PARODD;
        break;
    default:
        attributes.c_cflag &= ~PARENB;
        break;
    }
    if (numberOfStopBits_ > 1) {
        attributes.c_cflag |= CSTOPB;
    } else {
        attributes.c_cflag &= ~CSTOPB;
    }
    if (shouldEchoReceivedData_) {
        attributes.c_lflag |= ECHO;
    } else {
        attributes.c_lflag &= ~ECHO;
    }
    if (usesRTSCTSFlowControl_) {
        attributes.c_cflag |= CRTSCTS;
    } else {
        attributes.c_cflag &= ~CRTSCTS;
    }
    if (usesDTRDSRFlowControl_ || usesDCDOutputFlowControl_) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true)) {
            Log::line("DTR/DSR and DCD flow control are not available on this system; " +
                      description() + " is opened without them");
        }
    }
    attributes.c_cflag |= HUPCL | CLOCAL | CREAD;
    attributes.c_lflag &= ~(ICANON | ISIG);

    const std::uint64_t rate = baudRate_.value_or(0);
    const std::optional<speed_t> code = speedCode(rate);
    if (code) {
        ::cfsetspeed(&attributes, *code);
    }
    const int result = ::tcsetattr(descriptor, TCSANOW, &attributes);
    const std::string refused = "Unable to set options on " + description() + ": ";
    if (result != 0) {
        Log::line(refused + std::to_string(result));
        return;
    }
    if (!code) {
        // A rate without a speed code goes to the driver as a plain number; what it took is read
        // back, since some drivers round.
        if (rate > UINT32_MAX || !TerminalSpeed::setArbitrary(descriptor, rate) ||
            TerminalSpeed::current(descriptor) != rate) {
            Log::line(refused + "-1");
        }
    }
}

// --- Open, read, write, close ----------------------------------------------------------------

void KESSerialPort::queueError(int code) {
    MainQueue::shared().async([weak = weak_from_this(), code] {
        if (auto port = weak.lock()) {
            port->notifyDelegateOfPosixError(code);
        }
    });
}

void KESSerialPort::notifyDelegateOfPosixError(int code) {
    if (delegate_ != nullptr) {
        delegate_->serialPortDidEncounterError(*this, PosixError(code, path()));
    }
}

void KESSerialPort::open() {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (isOpen()) {
        return;
    }
    const std::string devicePath = path();
    int descriptor = -1;
    int error = EINVAL; // a path with a NUL byte in it names no file
    if (devicePath.find('\0') == std::string::npos) {
        descriptor = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        error = errno;
    }
    if (descriptor == 0) {
        // 0 means "closed" to the port, so it cannot hold the device on it.
        ::close(descriptor);
        descriptor = -1;
        error = EBADF;
    }
    if (descriptor < 0) {
        queueError(error);
        return;
    }
    // Exclusive: fail at once if another program holds the device, and keep others out.
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        ::close(descriptor);
        queueError(error);
        return;
    }
    ::ioctl(descriptor, TIOCEXCL);
    ::fcntl(descriptor, F_SETFL, 0); // from here on reads and writes block

    opening_ = std::make_shared<Opening>(descriptor);
    setFileDescriptor(descriptor);
    haveOriginalPortAttributes_ = ::tcgetattr(descriptor, &originalPortAttributes_) == 0;
    setPortOptions();

    int word = 0;
    if (!ModemLines::shared().read(descriptor, word)) {
        word = 0;
        if (linesAbsent(errno)) {
            opening_->hasModemLines = false;
        } else {
            queueError(errno);
        }
    }
    // Take the lines' present states first, so that only a line whose state differs from the
    // wanted one is driven.
    const bool wantedRTS = RTS_;
    const bool wantedDTR = DTR_;
    setRTS((word & TIOCM_RTS) != 0);
    setDTR((word & TIOCM_DTR) != 0);
    setRTS(wantedRTS);
    setDTR(wantedDTR);

    MainQueue::shared().async([weak = weak_from_this()] {
        auto port = weak.lock();
        if (port != nullptr && port->delegate_ != nullptr) {
            port->delegate_->serialPortWasOpened(*port);
        }
    });
    startReadLoop();
    if (opening_->hasModemLines) {
        startLinePoll();
    }
}

void KESSerialPort::startReadLoop() {
    KESSerialPort* port = this;
    Opening* opening = opening_.get();
    auto keepAlive =
        std::make_shared<std::pair<std::shared_ptr<KESSerialPort>, std::shared_ptr<Opening>>>(
            shared_from_this(), opening_);
    BackgroundThreads::shared().start(
        [port, opening](std::stop_token stop) {
            std::stop_callback wakeOnStop(stop, [opening] { opening->wake(); });
            MainQueue& mainQueue = MainQueue::shared();
            std::array<std::uint8_t, 1024> buffer;
            for (;;) {
                pollfd waitFor[2] = {{opening->descriptor(), POLLIN, 0},
                                     {opening->wakeDescriptor(), POLLIN, 0}};
                if (!opening->beginWait()) {
                    return;
                }
                const int ready = ::poll(waitFor, 2, 100);
                const int waitError = errno;
                opening->endWait();
                if (opening->isStopped() || stop.stop_requested()) {
                    return;
                }
                if (ready < 0) {
                    if (waitError != EINTR) {
                        mainQueue.syncFromBackground(
                            [port, waitError] { port->notifyDelegateOfPosixError(waitError); });
                    }
                    continue;
                }
                if (ready == 0 || waitFor[0].revents == 0) {
                    continue;
                }
                ssize_t count = -1;
                int readError = 0;
                const bool ran = opening->withDescriptor([&](int descriptor) {
                    count = ::read(descriptor, buffer.data(), buffer.size());
                    readError = errno;
                });
                if (!ran) {
                    return;
                }
                if (count > 0) {
                    mainQueue.async([port, data = Bytes(buffer.begin(), buffer.begin() + count)] {
                        port->receiveData(data);
                    });
                    continue;
                }
                if (count < 0 && (readError == EINTR || readError == EAGAIN)) {
                    continue;
                }
                // The device has gone (unplugged, the far end of a pseudo-terminal closed): the
                // descriptor would stay readable and read nothing for ever. Say so once, close
                // the port if this opening is still its own, and end.
                const int code = count == 0 ? EIO : readError;
                mainQueue.syncFromBackground([port, opening, code] {
                    if (port->opening_.get() == opening) {
                        port->notifyDelegateOfPosixError(code);
                        port->close();
                    }
                });
                return;
            }
        },
        std::move(keepAlive));
}

void KESSerialPort::startLinePoll() {
    KESSerialPort* port = this;
    Opening* opening = opening_.get();
    auto timer = std::make_shared<RepeatingTimer>(10ms, 5ms, [port, opening](RepeatingTimer& self) {
        int word = 0;
        int result = 0;
        int error = 0;
        const bool ran = opening->withDescriptor([&](int descriptor) {
            result = ModemLines::shared().read(descriptor, word) ? 0 : -1;
            error = errno;
        });
        if (!ran) {
            self.stop();
            return;
        }
        MainQueue& mainQueue = MainQueue::shared();
        if (result != 0) {
            mainQueue.syncFromBackground(
                [port, error] { port->notifyDelegateOfPosixError(error); });
            return;
        }
        const bool cts = (word & TIOCM_CTS) != 0;
        const bool dsr = (word & TIOCM_DSR) != 0;
        const bool dcd = (word & TIOCM_CD) != 0;
        if (port->CTS() != cts) {
            mainQueue.syncFromBackground([port, cts] { port->setCTS(cts); });
        }
        if (port->DSR() != dsr) {
            mainQueue.syncFromBackground([port, dsr] { port->setDSR(dsr); });
        }
        if (port->DCD() != dcd) {
            mainQueue.syncFromBackground([port, dcd] { port->setDCD(dcd); });
        }
    });
    setPinPollTimer(timer);
    RepeatingTimer::start(
        timer,
        std::make_shared<std::pair<std::shared_ptr<KESSerialPort>, std::shared_ptr<Opening>>>(
            shared_from_this(), opening_));
}

bool KESSerialPort::sendData(const Bytes& data) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (!isOpen()) {
        return false;
    }
    Bytes pending;
    {
        std::lock_guard lock(identityMutex_);
        writeBuffer_.insert(writeBuffer_.end(), data.begin(), data.end());
        if (writeBuffer_.empty()) {
            return true;
        }
        pending = writeBuffer_;
    }
    const ssize_t written = ::write(fileDescriptor(), pending.data(), pending.size());
    if (written < 0) {
        notifyDelegateOfPosixError(errno);
        return false;
    }
    std::lock_guard lock(identityMutex_);
    writeBuffer_.erase(writeBuffer_.begin(), writeBuffer_.begin() + written);
    return true;
}

void KESSerialPort::receiveData(const Bytes& data) {
    if (delegate_ != nullptr) {
        delegate_->serialPortDidReceiveData(*this, data);
    }
}

bool KESSerialPort::close() {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (!isOpen()) {
        return true;
    }
    setWriteBuffer({});
    const int descriptor = fileDescriptor();
    termios attributes{};
    if (::tcgetattr(descriptor, &attributes) == 0) {
        attributes.c_cflag &= ~CRTSCTS;
        ::tcsetattr(descriptor, TCSANOW, &attributes);
    }
    if (haveOriginalPortAttributes_) {
        ::tcsetattr(descriptor, TCSADRAIN, &originalPortAttributes_);
    }
    ::ioctl(descriptor, TIOCNXCL);

    opening_->stop();
    opening_.reset();
    if (pinPollTimer_ != nullptr) {
        pinPollTimer_->stop(); // ends its thread now rather than at its next run
    }
    setFileDescriptor(0);
    if (::close(descriptor) != 0) {
        // Linux lets go of the descriptor even when close reports an error, so the port stays
        // closed: going back to that number could mean writing to someone else's file.
        notifyDelegateOfPosixError(errno);
        return false;
    }
    if (delegate_ != nullptr) {
        delegate_->serialPortWasClosed(*this);
    }
    return true;
}

void KESSerialPort::cleanup() {
    DCCCAB_ASSERT_MAIN_THREAD();
    close();
    if (delegate_ != nullptr) {
        delegate_->serialPortWasRemovedFromSystem(*this);
    }
}

// --- Identity --------------------------------------------------------------------------------

bool KESSerialPort::isEqual(const KESSerialPort& other) const {
    const std::string mine = path();
    return !mine.empty() && mine == other.path();
}

std::size_t KESSerialPort::hash() const {
    return std::hash<std::string>{}(path());
}
