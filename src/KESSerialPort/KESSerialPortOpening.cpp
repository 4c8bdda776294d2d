#include "KESSerialPortOpening.h"

#include "BackgroundThreads.h"
#include "KESSerialPortErrorKind.h"
#include "KESSerialPortThreads.h"
#include "Log.h"
#include "MainQueue.h"
#include "ModemLines.h"
#include "PosixError.h"
#include "RepeatingTimer.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

using namespace std::chrono_literals;

namespace {

// What the threads of an opening keep alive until they have been joined.
using KeepAlive = std::pair<std::shared_ptr<KESSerialPort>, std::shared_ptr<void>>;

} // namespace

KESSerialPort::Opening::Opening(int descriptor, std::uint64_t serial)
    : descriptor_(descriptor), serial_(serial),
      wakeDescriptor_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

KESSerialPort::Opening::Backlog::Backlog() : caughtUp(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

KESSerialPort::Opening::Backlog::~Backlog() {
    if (caughtUp >= 0) {
        ::close(caughtUp);
    }
}

KESSerialPort::Opening::~Opening() {
    if (wakeDescriptor_ >= 0) {
        ::close(wakeDescriptor_);
    }
}

void KESSerialPort::Opening::stop() {
    if (linePoll_ != nullptr) {
        linePoll_->stop(); // ends its thread now rather than at its next run
    }
    std::unique_lock lock(mutex_);
    stopped_ = true;
    wake();
    idle_.wait(lock, [this] { return !waiting_; });
}

void KESSerialPort::Opening::wake() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeDescriptor_, &one, sizeof one);
}

bool KESSerialPort::Opening::beginWait() {
    std::lock_guard lock(mutex_);
    waiting_ = !stopped_;
    return waiting_;
}

void KESSerialPort::Opening::endWait() {
    {
        std::lock_guard lock(mutex_);
        waiting_ = false;
    }
    idle_.notify_all();
}

bool KESSerialPort::Opening::isStopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

template <typename Work>
bool KESSerialPort::Opening::withDescriptor(Work&& work) {
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return false;
    }
    work(descriptor_);
    return true;
}

void KESSerialPort::Opening::startReadLoop(KESSerialPort& port,
                                           const std::shared_ptr<Opening>& opening) {
    Opening* self = opening.get();
    KESSerialPortThreads::start(KESSerialPortThreads::Kind::readLoop, [&] {
        BackgroundThreads::shared().start(
            [self, weak = port.weak_from_this(), mainQueue = MainQueue::sharedHandle()](
                std::stop_token stop) { self->runReadLoop(weak, std::move(stop), mainQueue); },
            std::make_shared<KeepAlive>(port.shared_from_this(), opening));
    });
}

void KESSerialPort::Opening::runReadLoop(const std::weak_ptr<KESSerialPort>& weak,
                                         std::stop_token stop, const MainQueue::Handle& mainQueue) {
    std::stop_callback wakeOnStop(stop, [this] { wake(); });
    const std::uint64_t serial = serial_;
    std::array<std::uint8_t, 1024> buffer;
    for (;;) {
        // With a full backlog only the main thread's catching up (or the stop) is waited for;
        // poll leaves out a negative descriptor.
        const bool full = backlog_->queued.load() >= maximumBacklog;
        pollfd waitFor[3] = {{full ? -1 : descriptor_, POLLIN, 0},
                             {wakeDescriptor_, POLLIN, 0},
                             {backlog_->caughtUp, POLLIN, 0}};
        if (!beginWait()) {
            return;
        }
        // No time-out: bytes, a hang-up, stop and the stop token all wake the wait, so an idle
        // port costs nothing.
        const int ready = ::poll(waitFor, 3, -1);
        const int waitError = errno;
        endWait();
        if (isStopped() || stop.stop_requested()) {
            return;
        }
        if (ready < 0) {
            if (waitError != EINTR) {
                mainQueue.syncFromBackground([weak, serial, waitError] {
                    if (auto port = weak.lock(); port && port->isCurrentOpening(serial)) {
                        port->notifyDelegateOfPosixError(waitError);
                    }
                });
            }
            continue;
        }
        if (waitFor[2].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t drained =
                ::read(backlog_->caughtUp, &count, sizeof count);
        }
        if (waitFor[0].revents == 0) {
            continue;
        }
        ssize_t count = -1;
        int readError = 0;
        // The descriptor does not block: another reader of the device may have taken the bytes
        // the wait saw, and this read must then come back empty rather than wait under the lock
        // that close takes.
        const bool ran = withDescriptor([&](int descriptor) {
            count = ::read(descriptor, buffer.data(), buffer.size());
            readError = errno;
        });
        if (!ran) {
            return;
        }
        if (count > 0) {
            backlog_->queued.fetch_add(1);
            const bool queued =
                mainQueue.async([weak, serial, backlog = backlog_,
                                 data = Bytes(buffer.begin(), buffer.begin() + count)] {
                    // Taken off before the delivery: what the delivery does may take long.
                    if (backlog->queued.fetch_sub(1) == maximumBacklog / 2 + 1) {
                        const std::uint64_t one = 1;
                        [[maybe_unused]] const ssize_t w =
                            ::write(backlog->caughtUp, &one, sizeof one);
                    }
                    if (auto port = weak.lock(); port && port->isCurrentOpening(serial)) {
                        port->receiveData(data);
                    }
                });
            if (!queued) {
                backlog_->queued.fetch_sub(1);
            }
            continue;
        }
        if (count < 0 && (readError == EINTR || readError == EAGAIN)) {
            continue;
        }
        // Anything else ends the loop: a descriptor that has gone bad stays readable and would
        // read nothing for ever. Say so once and close the port if this opening is still its own.
        const int code = count == 0 ? EIO : readError;
        mainQueue.syncFromBackground([weak, serial, code] {
            if (auto port = weak.lock(); port && port->isCurrentOpening(serial)) {
                Log::line(port->description() + " stopped reading (" +
                          describeSerialErrorKind(classifySerialError(code)) +
                          "): " + PosixError(code, port->path()).localizedDescription());
                port->notifyDelegateOfPosixError(code);
                port->close();
            }
        });
        return;
    }
}

std::shared_ptr<RepeatingTimer>
KESSerialPort::Opening::startLinePoll(KESSerialPort& port,
                                      const std::shared_ptr<Opening>& opening) {
    KESSerialPort* owner = &port; // kept alive by the thread, which the handler runs on
    Opening* self = opening.get();
    const std::uint64_t serial = opening->serial_;
    auto timer = std::make_shared<RepeatingTimer>(
        10ms, 5ms,
        [owner, self, serial, mainQueue = MainQueue::sharedHandle(),
         reported = opening->lineErrorAtOpen](RepeatingTimer& timer) mutable {
            int word = 0;
            bool read = false;
            int error = 0;
            const bool ran = self->withDescriptor([&](int descriptor) {
                read = ModemLines::shared().read(descriptor, word);
                error = errno;
            });
            if (!ran) {
                timer.stop();
                return;
            }
            if (!read) {
                // A device that keeps failing would say the same a hundred times a second: say
                // it once, and again when it changes or after it has cleared.
                if (error != reported) {
                    reported = error;
                    mainQueue.syncFromBackground([owner, serial, error] {
                        if (owner->isCurrentOpening(serial)) {
                            owner->notifyDelegateOfPosixError(error);
                        }
                    });
                }
                return;
            }
            reported = 0;
            const bool cts = (word & TIOCM_CTS) != 0;
            const bool dsr = (word & TIOCM_DSR) != 0;
            const bool dcd = (word & TIOCM_CD) != 0;
            if (owner->CTS() != cts) {
                mainQueue.syncFromBackground([owner, serial, cts] {
                    if (owner->isCurrentOpening(serial)) {
                        owner->setCTS(cts);
                    }
                });
            }
            if (owner->DSR() != dsr) {
                mainQueue.syncFromBackground([owner, serial, dsr] {
                    if (owner->isCurrentOpening(serial)) {
                        owner->setDSR(dsr);
                    }
                });
            }
            if (owner->DCD() != dcd) {
                mainQueue.syncFromBackground([owner, serial, dcd] {
                    if (owner->isCurrentOpening(serial)) {
                        owner->setDCD(dcd);
                    }
                });
            }
        });
    KESSerialPortThreads::start(KESSerialPortThreads::Kind::linePoll, [&] {
        RepeatingTimer::start(timer, std::make_shared<KeepAlive>(port.shared_from_this(), opening));
    });
    opening->linePoll_ = timer;
    return timer;
}
