// Runs the packet core for real: the dispatcher writes each frame through a serial port to the
// simulated command-station board on a pseudo-terminal, and each reply of the board releases the
// next frame (stop-and-wait). Shows the dispatcher's own diagnostic lines and, from the board,
// every frame with what it tells the decoders on the track; ends with the board's picture of the
// layout.
//
// The worked sequences run one after the other, each on a fresh dispatcher.

#include "DCCDispatcher.h"
#include "DCCMessage.h"
#include "KESSerialPort.h"
#include "KESSerialPortDelegate.h"
#include "ProgramLifetime.h"
#include "QtMainQueue.h"
#include "SimulatedBoard.h"
#include "SystemServices.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* about =
    "Runs the packet core for real: the dispatcher's worked sequences, each on a fresh\n"
    "dispatcher, written frame by frame through a serial port to the simulated command-station\n"
    "board on a pseudo-terminal. Every reply of the board releases the next frame. Shows the\n"
    "dispatcher's diagnostic lines and the board's reading of each frame, then the layout as the\n"
    "board sees it. Takes no options; exits 0 when every sequence ran to its end.\n";

void printUsage(std::FILE* to, const char* program) {
    std::fprintf(to, "usage: %s [--help]\n", program);
}

struct Sequence {
    const char* title;
    std::vector<std::pair<DCCMessage*, int>> added; // record, priority
};

void showBoardEvent(const SimulatedBoard::Event& event) {
    std::string bytes;
    for (std::uint8_t b : event.bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X ", b);
        bytes += hex;
    }
    std::printf("\n    board #%-3llu %-16s %s", static_cast<unsigned long long>(event.number),
                bytes.c_str(), event.meaning.c_str());
}

// Feeds the sequences to the dispatcher and hands every reply of the board to it.
class Run : public KESSerialPortDelegate {
public:
    Run(std::shared_ptr<KESSerialPort> port, std::vector<Sequence> sequences)
        : port_(std::move(port)), sequences_(std::move(sequences)) {}

    void start() { next(); }
    bool finished() const { return finished_; }

    void serialPortDidReceiveData(KESSerialPort&, const Bytes&) override {
        if (dispatcher_ != nullptr && !dispatcher_->empty()) {
            dispatcher_->sendNextMessage();
        } else {
            // The reply to the sequence's last frame: the dispatcher went idle when it wrote it.
            next();
        }
    }
    void serialPortWasRemovedFromSystem(KESSerialPort&) override {}
    void serialPortDidEncounterError(KESSerialPort& port, const PosixError& error) override {
        std::printf("\n!! %s: %s", port.description().c_str(),
                    error.localizedDescription().c_str());
        QCoreApplication::exit(1);
    }

private:
    void next() {
        if (index_ == sequences_.size()) {
            finished_ = true;
            QCoreApplication::quit();
            return;
        }
        const Sequence& sequence = sequences_[index_++];
        std::printf("\n\n== %s ==", sequence.title);
        dispatcher_ = std::make_unique<DCCDispatcher>();
        dispatcher_->setSerialPort(port_);
        for (const auto& [message, priority] : sequence.added) {
            dispatcher_->addMessage(message, priority);
        }
    }

    std::shared_ptr<KESSerialPort> port_;
    std::vector<Sequence> sequences_;
    std::size_t index_ = 0;
    std::unique_ptr<DCCDispatcher> dispatcher_;
    bool finished_ = false;
};

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        printUsage(stdout, argv[0]);
        std::fputs(about, stdout);
        return 0;
    }
    if (argc > 1) {
        std::fprintf(stderr, "%s: unknown argument '%s'\n", argv[0], argv[1]);
        printUsage(stderr, argv[0]);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0); // the board prints from its own thread
    QCoreApplication application(argc, argv);
    QtMainQueue queue(application);
    // Made before the lifetime, so it is stopped only once the port's threads have been joined.
    SimulatedBoard board(SpeedMode::Steps28, {}, showBoardEvent);
    board.start();
    std::printf("simulated board on %s", board.slavePath().c_str());

    DCCMessage speed("S", 0x03, 0x78);     // loco 3, 28 steps: step 14, forward
    DCCMessage headlight("H", 0x03, 0x90); // loco 3: headlight on
    DCCMessage a("A", 0x03, 0x60);         // loco 3: stop, forward
    DCCMessage b("B", 0x04, 0x3F, 0x85);   // loco 4, 128 steps: step 4, forward
    DCCMessage c("C", 0x05, 0x60);         // loco 5: stop, forward

    int status = 0;
    {
        ProgramLifetime lifetime(queue, std::make_unique<SystemServices>());
        auto port = KESSerialPort::serialPortWithKnownPath(board.slavePath(), "simulated board");
        Run run(port,
                {{"S with priority 0", {{&speed, 0}}},
                 {"H with priority 1", {{&headlight, 1}}},
                 {"S with priority 0, then H with priority 1", {{&speed, 0}, {&headlight, 1}}},
                 {"A, then B, both with priority 0", {{&a, 0}, {&b, 0}}},
                 {"A, B, C with priority 1", {{&a, 1}, {&b, 1}, {&c, 1}}}});
        port->setDelegate(&run);
        port->open();
        QTimer::singleShot(0, &application, [&run] { run.start(); });
        QTimer::singleShot(30000, &application, [] {
            std::printf("\n!! the board stopped answering");
            QCoreApplication::exit(1);
        });
        status = application.exec();
        port->setDelegate(nullptr);
        port->close();
        if (status == 0 && !run.finished()) {
            status = 1;
        }
    }
    board.stop();
    std::printf("\n\n== the layout as the board sees it ==\n%s\n",
                board.layout().describe().c_str());
    return status;
}
