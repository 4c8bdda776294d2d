#include "KESSerialPort.h"

#include "BackgroundThreads.h"
#include "KESSerialPortDelegate.h"
#include "KESSerialPortErrorKind.h"
#include "KESSerialPortOpening.h"
#include "Log.h"
#include "MainQueue.h"
#include "ModemLines.h"
#include "RepeatingTimer.h"
#include "TerminalSettings.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace std::chrono_literals;

namespace {

bool linesAbsent(int error) {
    // What TIOCMGET/TIOCMSET answer on a device without modem lines (every pseudo-terminal).
    return error == ENOTTY || error == EINVAL;
}

// Serial numbers of openings, unique in the process; 0 stands for "no opening".
std::atomic<std::uint64_t> lastOpeningSerial{0};

// How long close lets output already handed to the driver go out before it throws the rest
// away. A device whose flow control holds output back, or whose far end never reads, would
// otherwise keep the window waiting for as long as it likes (the kernel's own last close waits
// up to half a minute).
constexpr auto drainLimit = 250ms;

void drainOutput(int descriptor) {
    const auto deadline = std::chrono::steady_clock::now() + drainLimit;
    int queued = 0;
    bool known = false;
    while ((known = ::ioctl(descriptor, TIOCOUTQ, &queued) == 0) && queued > 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    // Only what is still queued is thrown away. A pseudo-terminal reports nothing queued while
    // the last frame may still be on its way to the other side, where a flush would drop it.
    if (!known || queued > 0) {
        ::tcflush(descriptor, TCOFLUSH);
    }
}

std::string failureText(int code, const std::string& path) {
    return PosixError(code, path).localizedDescription() + " (errno " + std::to_string(code) + ")";
}

} // namespace

// Every member function that calls out (a delegate callback, an observer) starts with this: the
// callee may drop the last reference to the port, which must not die under the running function.
#define KESSERIALPORT_KEEP_ALIVE() const auto keepAlive = weak_from_this().lock()

// --- Construction ----------------------------------------------------------------------------

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
        releaseDevice(opening_->descriptor());
        fileDescriptor_ = 0;
    }
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

// --- Properties ------------------------------------------------------------------------------

void KESSerialPort::setDelegate(KESSerialPortDelegate* delegate) {
    KESSERIALPORT_KEEP_ALIVE();
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
    KESSERIALPORT_KEEP_ALIVE();
    {
        std::lock_guard lock(identityMutex_);
        field = std::move(value); // a replaced device handle is released here
    }
    didChangeValueForKey(key);
}

template <typename T>
void KESSerialPort::storeAndApply(T& field, T value, const char* key) {
    KESSERIALPORT_KEEP_ALIVE();
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
    KESSERIALPORT_KEEP_ALIVE();
    if (parity != parity_) {
        parity_ = parity > KESSerialPortParityEven ? KESSerialPortParityNone : parity;
        setPortOptions();
    }
    didChangeValueForKey("parity");
}

void KESSerialPort::changeFlowControl(bool& flag, bool uses, const char* key) {
    DCCCAB_ASSERT_MAIN_THREAD();
    KESSERIALPORT_KEEP_ALIVE();
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
    KESSERIALPORT_KEEP_ALIVE();
    if (asserted != stored) {
        stored = asserted;
        driveOutputLine(bit, asserted);
    }
    didChangeValueForKey(key);
}

void KESSerialPort::driveOutputLine(int bit, bool asserted) {
    if (opening_ == nullptr || !opening_->hasModemLines) {
        return; // applied by the next open
    }
    const int descriptor = opening_->descriptor();
    const std::uint64_t serial = opening_->serial();
    int word = 0;
    if (!ModemLines::shared().read(descriptor, word)) {
        // Writing back a word we could not read would set the lines at random.
        queueError(errno, serial);
        return;
    }
    word = asserted ? (word | bit) : (word & ~bit);
    if (!ModemLines::shared().write(descriptor, word)) {
        queueError(errno, serial);
    }
}

void KESSerialPort::setCTS(bool asserted) {
    KESSERIALPORT_KEEP_ALIVE();
    CTS_ = asserted;
    didChangeValueForKey("CTS");
}
void KESSerialPort::setDSR(bool asserted) {
    KESSERIALPORT_KEEP_ALIVE();
    DSR_ = asserted;
    didChangeValueForKey("DSR");
}
void KESSerialPort::setDCD(bool asserted) {
    KESSERIALPORT_KEEP_ALIVE();
    DCD_ = asserted;
    didChangeValueForKey("DCD");
}

void KESSerialPort::setFileDescriptor(std::int32_t descriptor) {
    KESSERIALPORT_KEEP_ALIVE();
    if (descriptor != fileDescriptor()) {
        // A descriptor the port did not open (or a 0 while it holds one) would leave the port
        // believing it holds a device it does not, or leak the one it does.
        Log::line("Refused to set the descriptor of " + description() + " to " +
                  std::to_string(descriptor) + ": only open and close change it");
        return;
    }
    didChangeValueForKey("fileDescriptor");
}

void KESSerialPort::storeFileDescriptor(std::int32_t descriptor) {
    fileDescriptor_ = descriptor;
    didChangeValueForKey("fileDescriptor");
}

void KESSerialPort::setPinPollTimer(std::shared_ptr<RepeatingTimer> timer) {
    KESSERIALPORT_KEEP_ALIVE();
    // Only the property: the poll the port runs belongs to its opening, which stops it.
    if (timer != pinPollTimer_) {
        pinPollTimer_ = std::move(timer); // the old timer is let go, not stopped
    }
    didChangeValueForKey("pinPollTimer");
}

// --- Line settings ---------------------------------------------------------------------------

void KESSerialPort::setPortOptions() {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (opening_ == nullptr) {
        return;
    }
    const int descriptor = opening_->descriptor();
    termios current{};
    if (::tcgetattr(descriptor, &current) != 0) {
        return; // not a terminal, or gone: there is nothing to apply the settings to
    }
    if (usesDTRDSRFlowControl_ || usesDCDOutputFlowControl_) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true)) {
            Log::line("DTR/DSR and DCD flow control are not available on this system; " +
                      description() + " is opened without them");
        }
    }
    const TerminalSettings wanted =
        terminalSettingsFor(current, {baudRate_, numberOfStopBits_, parity_,
                                      shouldEchoReceivedData_, usesRTSCTSFlowControl_});
    const std::string refused = "Unable to set options on " + description() + ": ";
    const int result = ::tcsetattr(descriptor, TCSANOW, &wanted.attributes);
    if (result != 0) {
        Log::line(refused + std::to_string(result) + ", " + failureText(errno, path()));
        return;
    }
    if (wanted.arbitraryRate) {
        // A rate without a speed code goes to the driver as a plain number; what it took is read
        // back, since some drivers round.
        const std::uint64_t rate = *wanted.arbitraryRate;
        if (rate > UINT32_MAX || !TerminalSpeed::setArbitrary(descriptor, rate)) {
            Log::line(refused + "-1, " + failureText(rate > UINT32_MAX ? EINVAL : errno, path()));
        } else if (TerminalSpeed::current(descriptor) != rate) {
            Log::line(refused + "-1, the driver took " +
                      std::to_string(TerminalSpeed::current(descriptor).value_or(0)) +
                      " bits/s for " + std::to_string(rate));
        }
    }
}

// --- Open, read, write, close ----------------------------------------------------------------

bool KESSerialPort::isCurrentOpening(std::uint64_t serial) const {
    return opening_ != nullptr && opening_->serial() == serial;
}

void KESSerialPort::queueError(int code, std::uint64_t openingSerial) {
    MainQueue::shared().async([weak = weak_from_this(), code, openingSerial] {
        auto port = weak.lock();
        if (port != nullptr && (openingSerial == 0 || port->isCurrentOpening(openingSerial))) {
            port->notifyDelegateOfPosixError(code);
        }
    });
}

void KESSerialPort::notifyDelegateOfPosixError(int code) {
    KESSERIALPORT_KEEP_ALIVE();
    if (delegate_ != nullptr) {
        delegate_->serialPortDidEncounterError(*this, PosixError(code, path()));
    }
}

void KESSerialPort::openFailed(const std::string& devicePath, int code) {
    const std::string kind = describeSerialErrorKind(classifySerialError(code));
    Log::line("Unable to open " + devicePath + " (" + kind + "): " + failureText(code, devicePath));
    queueError(code, 0);
}

void KESSerialPort::open() {
    DCCCAB_ASSERT_MAIN_THREAD();
    KESSERIALPORT_KEEP_ALIVE();
    if (isOpen()) {
        return;
    }
    const std::string devicePath = path();
    int descriptor = -1;
    int error = EINVAL; // a path with a NUL byte in it names no file
    if (devicePath.find('\0') == std::string::npos) {
        // The descriptor stays non-blocking: no read, write or close of the port may wait on the
        // device, or the window would wait with it.
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
        openFailed(devicePath, error);
        return;
    }
    // Exclusive: fail at once if another program holds the device, and keep others out.
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        ::close(descriptor);
        openFailed(devicePath, error);
        return;
    }
    ::ioctl(descriptor, TIOCEXCL);

    const auto opening = std::make_shared<Opening>(descriptor, lastOpeningSerial.fetch_add(1) + 1);
    opening_ = opening;
    haveOriginalPortAttributes_ = ::tcgetattr(descriptor, &originalPortAttributes_) == 0;
    storeFileDescriptor(descriptor);
    if (opening_ != opening) {
        return; // an observer of "isOpen" closed the port again
    }
    setPortOptions();

    int word = 0;
    if (!ModemLines::shared().read(descriptor, word)) {
        const int lineError = errno;
        word = 0;
        if (linesAbsent(lineError)) {
            opening->hasModemLines = false;
        } else {
            opening->lineErrorAtOpen = lineError;
            queueError(lineError, opening->serial());
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
    if (opening_ != opening) {
        return; // an observer of the settling closed the port (and maybe opened it again)
    }

    try {
        Opening::startReadLoop(*this, opening);
        if (opening->hasModemLines) {
            setPinPollTimer(Opening::startLinePoll(*this, opening));
        }
    } catch (const std::system_error& failure) {
        rollBackOpen(failure);
        return;
    }
    MainQueue::shared().async([weak = weak_from_this(), serial = opening->serial()] {
        auto port = weak.lock();
        if (port != nullptr && port->isCurrentOpening(serial) && port->delegate_ != nullptr) {
            port->delegate_->serialPortWasOpened(*port);
        }
    });
}

void KESSerialPort::rollBackOpen(const std::system_error& failure) {
    const std::shared_ptr<Opening> opening = std::move(opening_);
    opening->stop(); // a read loop already started ends by itself and is joined as any other
    releaseDevice(opening->descriptor());
    storeFileDescriptor(0);
    Log::line("Unable to open " + path() + ": no thread for its background work, " +
              failure.what());
    queueError(EAGAIN, 0);
}

int KESSerialPort::releaseDevice(int descriptor) {
    // Flow control off first, so that output it holds back can go out (or be thrown away),
    // then the device's own settings back.
    termios attributes{};
    if (::tcgetattr(descriptor, &attributes) == 0) {
        attributes.c_cflag &= ~CRTSCTS;
        ::tcsetattr(descriptor, TCSANOW, &attributes);
    }
    drainOutput(descriptor);
    if (haveOriginalPortAttributes_) {
        ::tcsetattr(descriptor, TCSANOW, &originalPortAttributes_);
    }
    ::ioctl(descriptor, TIOCNXCL);
    // Closing lets go of the exclusive lock with the open file.
    return ::close(descriptor) == 0 ? 0 : errno;
}

bool KESSerialPort::sendData(const Bytes& data) {
    DCCCAB_ASSERT_MAIN_THREAD();
    KESSERIALPORT_KEEP_ALIVE();
    if (opening_ == nullptr) {
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
    const ssize_t written = ::write(opening_->descriptor(), pending.data(), pending.size());
    if (written < 0) {
        const int error = errno;
        if (error == EAGAIN || error == EINTR) {
            return true; // the driver is full: everything waits for the next call
        }
        notifyDelegateOfPosixError(error);
        return false;
    }
    std::lock_guard lock(identityMutex_);
    writeBuffer_.erase(writeBuffer_.begin(), writeBuffer_.begin() + written);
    return true;
}

void KESSerialPort::receiveData(const Bytes& data) {
    KESSERIALPORT_KEEP_ALIVE();
    if (delegate_ != nullptr) {
        delegate_->serialPortDidReceiveData(*this, data);
    }
}

bool KESSerialPort::close() {
    DCCCAB_ASSERT_MAIN_THREAD();
    KESSERIALPORT_KEEP_ALIVE();
    if (opening_ == nullptr) {
        return true;
    }
    // From here on the port has no opening: nothing the old one queued is delivered, and a
    // close or open from an observer below finds the port closing.
    const std::shared_ptr<Opening> opening = std::move(opening_);
    setWriteBuffer({});
    opening->stop();
    const int closeError = releaseDevice(opening->descriptor());
    // Announced once the device is let go, so that an observer may open it again at once.
    storeFileDescriptor(0);
    // Threads of this and earlier openings that have ended are joined now, not when the main
    // loop gets round to it: a caller that opens and closes in a loop would pile them up.
    BackgroundThreads::shared().reapFinished();
    if (closeError != 0) {
        // Linux lets go of the descriptor even when close reports an error, so the port stays
        // closed: going back to that number could mean writing to someone else's file.
        notifyDelegateOfPosixError(closeError);
        return false;
    }
    if (delegate_ != nullptr) {
        delegate_->serialPortWasClosed(*this);
    }
    return true;
}

void KESSerialPort::cleanup() {
    DCCCAB_ASSERT_MAIN_THREAD();
    KESSERIALPORT_KEEP_ALIVE();
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
