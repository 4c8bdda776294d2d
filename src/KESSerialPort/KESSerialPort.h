#pragma once

#include "Bytes.h"
#include "KESSerialPortParity.h"
#include "Observable.h"
#include "SerialDevice.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <termios.h>
#include <vector>

class KESSerialPortDelegate;
class RepeatingTimer;

// One serial device of the machine, and at most one object per device node.
//
// Opening takes the device exclusively and raw with the port's settings, and starts a background
// read loop (and, where the device has modem lines, a 10 ms poll of CTS, DSR and DCD). Closing
// restores the device's own settings and lets it go. Everything the port has to say goes to its
// delegate on the main thread.
//
// Threading: every public function is for the main thread, except the getters, which any thread
// may call. Callbacks from open (opened, errors) and from the background loops are queued on the
// main queue and run after the call that caused them has returned; serialPortWasClosed,
// serialPortWasRemovedFromSystem and the errors of close, sendData and the setters of RTS/DTR
// run before the call returns. A queued callback of an opening (opened, received data, its
// errors) is dropped if that opening has ended by the time it would run: nothing of an old
// opening reaches the delegate after serialPortWasClosed.
//
// Nothing the port does on the main thread waits on the device: the descriptor does not block,
// and close lets queued output drain for a bounded time only (a quarter of a second) before it
// throws the rest away.
//
// Ownership: ports are shared (std::shared_ptr) and made only by the factories below. While a
// port is open its read loop and poll hold it, so it is not destroyed before they end; they let
// go of it on the main thread. A delegate or observer may drop the last reference to the port
// from within any callback: the port stays alive until the call that made the callback returns.
// The port does not own its delegate. The class-wide registry does not keep ports alive.
//
// Observable keys: every setter call is announced by its property name ("baudRate", "RTS", ...);
// "isOpen" is announced with every "fileDescriptor".
class KESSerialPort : public Observable, public std::enable_shared_from_this<KESSerialPort> {
    struct Private {};

public:
    // --- Construction and the one-object-per-path registry ------------------------------

    // The port of the device whose callout or dial-in path is path; null if the registry has no
    // such device.
    static std::shared_ptr<KESSerialPort> serialPortWithPath(const std::string& path);
    // The port of device: the live one for its callout path if there is one, unchanged, else a
    // new one with the default settings. A null device is a programming error: std::logic_error.
    static std::shared_ptr<KESSerialPort> serialPortWithDevice(const DeviceHandle& device);
    // The port for a terminal that the registry does not list (a pseudo-terminal, a link made by
    // a tool): the live one for path if there is one, the registry's if it knows the path (a
    // pseudo-terminal is never looked up there), else a new one named name. Null when path is not
    // a character device.
    static std::shared_ptr<KESSerialPort> serialPortWithKnownPath(const std::string& path,
                                                                  const std::string& name);

    static std::shared_ptr<KESSerialPort> existingPortWithPath(const std::string& path);
    // The live ports, in construction order.
    static std::vector<std::shared_ptr<KESSerialPort>> allSerialPorts();
    static void addSerialPort(KESSerialPort& port);
    static void removeSerialPort(const KESSerialPort* port);

    // The registry's device whose callout or dial-in path is path; null if none.
    static DeviceHandle deviceFromBSDPath(const std::string& path);
    static std::optional<std::string> stringPropertyOfForIOSerialKey(const DeviceHandle& device,
                                                                     const std::string& key);
    static std::optional<std::string> bsdCalloutPathFromDevice(const DeviceHandle& device);
    static std::optional<std::string> bsdDialinPathFromDevice(const DeviceHandle& device);
    static std::optional<std::string> modemNameFromDevice(const DeviceHandle& device);
    static std::optional<std::string> baseNameFromDevice(const DeviceHandle& device);
    static std::optional<std::string> serviceTypeFromDevice(const DeviceHandle& device);
    static std::optional<std::string> suffixFromDevice(const DeviceHandle& device);

    // Only the factories can call this (Private is not reachable from outside).
    explicit KESSerialPort(Private);
    ~KESSerialPort() override;

    // --- Properties ------------------------------------------------------------------------

    KESSerialPortDelegate* delegate() const { return delegate_; }
    void setDelegate(KESSerialPortDelegate* delegate);

    bool isOpen() const { return fileDescriptor() != 0; }

    std::string path() const;
    void setPath(std::string path);
    DeviceHandle IOKitDevice() const;
    void setIoKitDevice(DeviceHandle device);
    std::string name() const;
    void setName(std::string name);

    std::optional<std::uint64_t> baudRate() const { return baudRate_; }
    void setBaudRate(std::optional<std::uint64_t> baudRate);
    std::uint64_t numberOfStopBits() const { return numberOfStopBits_; }
    void setNumberOfStopBits(std::uint64_t numberOfStopBits);
    bool shouldEchoReceivedData() const { return shouldEchoReceivedData_; }
    void setShouldEchoReceivedData(bool echo);
    KESSerialPortParity parity() const { return parity_; }
    void setParity(KESSerialPortParity parity);
    bool usesRTSCTSFlowControl() const { return usesRTSCTSFlowControl_; }
    void setUsesRTSCTSFlowControl(bool uses);
    bool usesDTRDSRFlowControl() const { return usesDTRDSRFlowControl_; }
    void setUsesDTRDSRFlowControl(bool uses);
    bool usesDCDOutputFlowControl() const { return usesDCDOutputFlowControl_; }
    void setUsesDCDOutputFlowControl(bool uses);

    bool RTS() const { return RTS_; }
    void setRTS(bool asserted);
    bool DTR() const { return DTR_; }
    void setDTR(bool asserted);
    // The input lines as last polled; set by the poll only.
    bool CTS() const { return CTS_.load(); }
    void setCTS(bool asserted);
    bool DSR() const { return DSR_.load(); }
    void setDSR(bool asserted);
    bool DCD() const { return DCD_.load(); }
    void setDCD(bool asserted);

    // Bytes accepted by sendData and not yet written.
    Bytes writeBuffer() const;
    void setWriteBuffer(Bytes buffer);
    // The open device's descriptor; 0 while closed. Only open and close change it: the setter
    // announces the present value and refuses any other, with a log line.
    std::int32_t fileDescriptor() const { return fileDescriptor_.load(); }
    void setFileDescriptor(std::int32_t descriptor);
    // The modem-line poll of the current or last opening (none on devices without modem lines).
    // Setting it changes only the property: the poll the port runs is stopped with its opening.
    std::shared_ptr<RepeatingTimer> pinPollTimer() const { return pinPollTimer_; }
    void setPinPollTimer(std::shared_ptr<RepeatingTimer> timer);

    // --- Working on the device --------------------------------------------------------------

    // Opens the device; does nothing if open. Failures reach the delegate, queued, and the log
    // (path, errno and its text). A failure to start the background threads closes the device
    // again and reports EAGAIN.
    void open();
    // True when the port is closed afterwards (also when it was not open).
    bool close();
    // close, then serialPortWasRemovedFromSystem.
    void cleanup();
    // Writes what the driver takes now, without waiting. False when the port is not open (the
    // bytes are dropped) or the write failed (they are kept). Bytes the driver cannot take yet
    // (a short write, a full driver) stay in writeBuffer and go out ahead of the next call's.
    bool sendData(const Bytes& data);
    // Hands data to the delegate; the read loop queues this on the main thread.
    void receiveData(const Bytes& data);
    void notifyDelegateOfPosixError(int code);
    // Applies the settings to the open device; nothing while closed.
    void setPortOptions();

    // --- Identity ------------------------------------------------------------------------------

    // Equal when both have the same, non-empty, path.
    bool isEqual(const KESSerialPort& other) const;
    std::size_t hash() const;
    // The name; used wherever a port appears in a log line.
    std::string description() const { return name(); }

private:
    class Opening;

    static std::shared_ptr<KESSerialPort> makePort(const DeviceHandle& device, std::string path,
                                                   std::string name);
    void applyDefaultSettings();
    template <typename T>
    T lockedGet(const T& field) const;
    template <typename T>
    void lockedSet(T& field, T value, const char* key);
    template <typename T>
    void storeAndApply(T& field, T value, const char* key);
    void changeFlowControl(bool& flag, bool uses, const char* key);
    void setOutputLine(bool& stored, int bit, bool asserted, const char* key);
    void driveOutputLine(int bit, bool asserted);
    // Queues an error report; one for an opening (serial not 0) is dropped if that opening has
    // ended by the time it would be delivered.
    void queueError(int code, std::uint64_t openingSerial);
    bool isCurrentOpening(std::uint64_t serial) const;
    void openFailed(const std::string& devicePath, int code);
    void rollBackOpen(const std::system_error& failure);
    // Gives the device back (flow control off, output drained for a bounded time, attributes
    // restored, exclusive use ended) and closes descriptor: 0, or the errno of that close.
    int releaseDevice(int descriptor);
    // The only store of fileDescriptor besides the harmless public setter.
    void storeFileDescriptor(std::int32_t descriptor);

    KESSerialPortDelegate* delegate_ = nullptr;
    mutable std::mutex identityMutex_; // path, name, device, writeBuffer: any thread may read
    std::string path_;
    DeviceHandle device_;
    std::string name_;
    std::optional<std::uint64_t> baudRate_;
    std::uint64_t numberOfStopBits_ = 1;
    bool shouldEchoReceivedData_ = false;
    KESSerialPortParity parity_ = KESSerialPortParityNone;
    bool usesRTSCTSFlowControl_ = false;
    bool usesDTRDSRFlowControl_ = false;
    bool usesDCDOutputFlowControl_ = false;
    bool RTS_ = false;
    bool DTR_ = false;
    std::atomic<bool> CTS_{false}; // the poll compares from its own thread
    std::atomic<bool> DSR_{false};
    std::atomic<bool> DCD_{false};
    Bytes writeBuffer_;
    std::atomic<std::int32_t> fileDescriptor_{0};
    std::shared_ptr<RepeatingTimer> pinPollTimer_;

    termios originalPortAttributes_{};
    bool haveOriginalPortAttributes_ = false;
    std::shared_ptr<Opening> opening_; // the current opening; null while closed
};

inline bool operator==(const KESSerialPort& a, const KESSerialPort& b) {
    return a.isEqual(b);
}

template <>
struct std::hash<KESSerialPort> {
    std::size_t operator()(const KESSerialPort& port) const { return port.hash(); }
};
