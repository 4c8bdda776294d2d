#include "DCCController.h"
#include "DCCMessage.h"
#include "DCCPacketDecoder.h"
#include "RecordingLog.h"
#include "TestDeviceRegistry.h"
#include "TestMainQueue.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace {

class TestManager : public KESSerialPortManager {};

// What a packet means to a decoder, in one comparable value.
struct Meaning {
    DecodedPacket::Kind kind = DecodedPacket::Kind::Malformed;
    bool broadcast = false;
    std::optional<LocoAddress> address;
    std::optional<SpeedMode> mode; // set for speed packets
    int step = 0;
    bool emergency = false;
    std::optional<bool> forward;
    std::uint32_t functionMask = 0; // the functions the packet sets, bit n for Fn
    std::uint32_t functionsOn = 0;

    bool operator==(const Meaning&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Meaning& m) {
    out << "kind " << static_cast<int>(m.kind) << (m.broadcast ? " broadcast" : "");
    if (m.address) {
        out << ' ' << m.address->toString();
    }
    if (m.mode) {
        out << ", " << modeName(*m.mode) << " step " << m.step << (m.emergency ? " emergency" : "")
            << (m.forward ? (*m.forward ? " forward" : " reverse") : " any direction");
    }
    if (m.functionMask != 0) {
        out << ", functions " << m.functionMask << " set, " << m.functionsOn << " on";
    }
    return out;
}

Meaning meaningOf(const DecodedPacket& packet) {
    Meaning m;
    m.kind = packet.kind;
    m.broadcast = packet.broadcast;
    m.address = packet.address;
    if (packet.speed) {
        m.mode = packet.speed->mode;
        m.step = packet.speed->step;
        m.emergency = packet.speed->emergency;
        m.forward = packet.speed->forward;
    }
    m.functionMask = packet.functionMask;
    m.functionsOn = packet.functionsOn;
    return m;
}

// The packet of a catalogue record as a decoder on the track would read it.
Meaning decoded(const DCCPacketDecoder& decoder, const DCCMessage& message) {
    return meaningOf(decoder.decode(std::span(message.frame).subspan(1, message.packetLength)));
}

// How decoders set to the cab's mode read baseline speed packets.
SpeedMode baselineFor(std::int64_t mode) {
    return mode == 0 ? SpeedMode::Steps14 : SpeedMode::Steps28;
}

SpeedMode speedModeOf(std::int64_t mode) {
    return mode == 0 ? SpeedMode::Steps14 : mode == 1 ? SpeedMode::Steps28 : SpeedMode::Steps128;
}

LocoAddress locoAt(std::int64_t address) {
    return {static_cast<std::uint16_t>(address), address > 127};
}

// The step the operator's speed (0 to 127) means in each mode: the scale of the speed control
// cut into the mode's steps, and in 128-step mode the speed itself up to the top step 126.
int stepFor(std::int64_t mode, std::int64_t speed) {
    const std::int64_t s = std::min<std::int64_t>(speed, 127);
    switch (mode) {
    case 0:
        return static_cast<int>(s * 14 / 127);
    case 1:
        return static_cast<int>(s * 28 / 127);
    default:
        return static_cast<int>(std::min<std::int64_t>(s, 126));
    }
}

// A speed packet to a locomotive; in 14-step mode the packet also sets the headlight.
Meaning speedTo(std::int64_t address, SpeedMode mode, int step, bool emergency,
                std::optional<bool> forward, bool headlight) {
    Meaning m;
    m.kind = DecodedPacket::Kind::Speed;
    m.address = locoAt(address);
    m.mode = mode;
    m.step = step;
    m.emergency = emergency;
    m.forward = forward;
    if (mode == SpeedMode::Steps14) {
        m.functionMask = 1; // F0, the headlight
        m.functionsOn = headlight ? 1 : 0;
    }
    return m;
}

// A cab started as the window starts it, without a port: the dispatcher writes nowhere and no
// reply ever comes, so every command leaves its packet in the catalogue for the test to read.
class DCCControllerMeaning : public testing::Test {
protected:
    DCCControllerMeaning() { MainQueue::setShared(&queue); }
    ~DCCControllerMeaning() override { MainQueue::setShared(nullptr); }

    std::unique_ptr<DCCController> startCab() {
        auto cab = std::make_unique<DCCController>(manager);
        cab->awakeFromNib();
        return cab;
    }

    TestMainQueue queue;
    TestDeviceRegistry registry;
    RecordingLog log;
    TestManager manager;
};

// Speeds sent at each address: all 128 at the edges of the two address forms, two elsewhere,
// turning with the address so that every speed meets every address class. The whole product
// (some ten million packets) costs minutes in an unoptimised build; CAB_SWEEP_EVERY_SPEED=1 in
// the environment sweeps it all.
bool isEdge(std::int64_t address) {
    static constexpr std::array<std::int64_t, 10> edges{1,   2,   126, 127,   128,
                                                        129, 255, 256, 10238, 10239};
    return std::find(edges.begin(), edges.end(), address) != edges.end();
}

std::vector<std::int64_t> speedsAt(std::int64_t address, bool everySpeed) {
    std::vector<std::int64_t> speeds;
    if (everySpeed || isEdge(address)) {
        for (std::int64_t speed = 0; speed <= 127; ++speed) {
            speeds.push_back(speed);
        }
    } else {
        speeds = {address % 128, (address + 64) % 128};
    }
    return speeds;
}

// Every address, mode and direction through the real controller, each speed packet decoded as a
// decoder in that mode reads it. Mismatches are collected and asserted once, to keep each case
// cheap.
TEST_F(DCCControllerMeaning, EverySpeedPacketMeansItsAddressStepAndDirection) {
    const char* every = std::getenv("CAB_SWEEP_EVERY_SPEED");
    const bool everySpeed = every != nullptr && std::string(every) == "1";
    testing::internal::CaptureStdout();
    const auto cab = startCab();
    std::uint64_t cases = 0;
    std::uint64_t speedsSent = 0;
    std::uint64_t mismatches = 0;
    std::vector<std::string> examples;
    for (std::int64_t mode = 0; mode <= 2; ++mode) {
        const DCCPacketDecoder decoder(baselineFor(mode));
        // A 14-step packet carries the headlight, so that mode is swept with the light off and on;
        // the light's bit does not depend on the address, so the edges suffice for the second.
        for (const bool light : mode == 0 ? std::vector{false, true} : std::vector{false}) {
            for (std::int64_t address = 1; address <= 10239; ++address) {
                if (light && !everySpeed && !isEdge(address)) {
                    continue;
                }
                // Each locomotive keeps its own mode and light.
                cab->setLocoAddress(address);
                cab->setSpeedMode(mode);
                if (cab->headlightIsOn() != light) {
                    cab->headlight(nullptr);
                }
                const std::vector<std::int64_t> speeds = speedsAt(address, everySpeed);
                speedsSent += speeds.size();
                for (const std::int64_t direction : {1, 0}) {
                    cab->setLocoDirection(direction);
                    for (const std::int64_t speed : speeds) {
                        cab->setLocoSpeed(speed);
                        ++cases;
                        const int step = stepFor(mode, speed);
                        const Meaning got =
                            decoded(decoder, *cab->shownLocomotive().records().speed);
                        const Meaning want =
                            speedTo(address, speedModeOf(mode), step, false, direction == 1, light);
                        if (got == want && cab->currentSpeedStep() == step) {
                            continue;
                        }
                        if (++mismatches <= 5) {
                            std::ostringstream text;
                            text << "mode " << mode << " address " << address << " direction "
                                 << direction << " speed " << speed << ": got " << got
                                 << " (step shown " << cab->currentSpeedStep() << "), want "
                                 << want;
                            examples.push_back(text.str());
                        }
                    }
                }
            }
        }
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(cases, 2u * speedsSent);
    EXPECT_EQ(speedsSent, everySpeed ? 4u * 10239u * 128u : 4u * 10u * 128u + 3u * 10229u * 2u);
    EXPECT_EQ(mismatches, 0u) << testing::PrintToString(examples);
}

// What each command's packet means, in every mode and at the edges of both address forms.
struct Command {
    const char* what;
    std::size_t entry; // the catalogue record the command hands over
    void (*press)(DCCController&);
    // The meaning due for the cab's mode and address; none where the command leaves the entry
    // alone in that mode.
    std::optional<Meaning> (*meaning)(std::int64_t mode, std::int64_t address);
};

std::optional<Meaning> functionsTo(std::int64_t mode, std::int64_t address, bool light) {
    Meaning m;
    m.kind = DecodedPacket::Kind::Functions;
    m.address = locoAt(address);
    // F0 to F4, F1 to F4 off; 14-step decoders take the light (F0) from the speed packet instead.
    m.functionMask = mode != 0 ? 0x1F : 0x1E;
    m.functionsOn = mode != 0 && light ? 1 : 0;
    return m;
}

std::optional<Meaning> emergencyStopTo(std::int64_t mode, std::int64_t address, bool forward,
                                       bool light = false) {
    return speedTo(address, baselineFor(mode), 0, true, forward, light);
}

std::optional<Meaning> broadcast(DecodedPacket::Kind kind, std::int64_t mode) {
    Meaning m;
    m.kind = kind;
    m.broadcast = true;
    if (kind == DecodedPacket::Kind::Speed) {
        m.mode = baselineFor(mode);
        m.emergency = true; // direction left to the decoders
    }
    return m;
}

const Command commands[] = {
    {"headlight on", DCCController::headlightIndex,
     [](DCCController& cab) { cab.headlight(nullptr); },
     [](std::int64_t mode, std::int64_t address) { return functionsTo(mode, address, true); }},
    {"headlight on, the 14-step speed packet", DCCController::speedIndex,
     [](DCCController& cab) { cab.headlight(nullptr); },
     [](std::int64_t mode, std::int64_t address) -> std::optional<Meaning> {
         if (mode != 0) {
             return std::nullopt;
         }
         return speedTo(address, SpeedMode::Steps14, 0, false, true, true);
     }},
    {"headlight on and off", DCCController::headlightIndex,
     [](DCCController& cab) {
         cab.headlight(nullptr);
         cab.headlight(nullptr);
     },
     [](std::int64_t mode, std::int64_t address) { return functionsTo(mode, address, false); }},
    {"headlight on and off, the 14-step speed packet", DCCController::speedIndex,
     [](DCCController& cab) {
         cab.setLocoSpeed(127);
         cab.headlight(nullptr);
         cab.headlight(nullptr);
     },
     [](std::int64_t mode, std::int64_t address) -> std::optional<Meaning> {
         if (mode != 0) {
             return std::nullopt;
         }
         return speedTo(address, SpeedMode::Steps14, 14, false, true, false);
     }},
    {"emergency stop forward", DCCController::emergencyStopIndex,
     [](DCCController& cab) {
         cab.setLocoSpeed(100);
         cab.sendEmergencyStop(nullptr);
     },
     [](std::int64_t mode, std::int64_t address) { return emergencyStopTo(mode, address, true); }},
    {"emergency stop reverse", DCCController::emergencyStopIndex,
     [](DCCController& cab) {
         cab.sendDirectionChange(nullptr);
         cab.sendEmergencyStop(nullptr);
     },
     [](std::int64_t mode, std::int64_t address) { return emergencyStopTo(mode, address, false); }},
    {"emergency stop with the headlight on", DCCController::emergencyStopIndex,
     [](DCCController& cab) {
         cab.headlight(nullptr);
         cab.sendEmergencyStop(nullptr);
     },
     [](std::int64_t mode, std::int64_t address) {
         return emergencyStopTo(mode, address, true, true);
     }},
    {"the dump's emergency stop, reverse", DCCController::emergencyStopIndex,
     [](DCCController& cab) {
         cab.sendDirectionChange(nullptr);
         cab.sendDump(nullptr);
     },
     [](std::int64_t mode, std::int64_t address) { return emergencyStopTo(mode, address, false); }},
    {"broadcast stop", DCCController::broadcastStopIndex,
     [](DCCController& cab) { cab.sendBroadcastEmergencyStop(nullptr); },
     [](std::int64_t mode, std::int64_t) { return broadcast(DecodedPacket::Kind::Speed, mode); }},
    {"reset", DCCController::resetIndex, [](DCCController& cab) { cab.sendReset(nullptr); },
     [](std::int64_t mode, std::int64_t) {
         return broadcast(DecodedPacket::Kind::DecoderReset, mode);
     }},
    {"idle", DCCController::idleIndex, [](DCCController& cab) { cab.sendIdle(nullptr); },
     [](std::int64_t, std::int64_t) -> std::optional<Meaning> {
         Meaning m;
         m.kind = DecodedPacket::Kind::Idle;
         return m;
     }},
    {"stop from speed 64 in reverse", DCCController::speedIndex,
     [](DCCController& cab) {
         cab.sendDirectionChange(nullptr);
         cab.setLocoSpeed(64);
         cab.sendStop(nullptr);
     },
     [](std::int64_t mode, std::int64_t address) -> std::optional<Meaning> {
         return speedTo(address, speedModeOf(mode), 0, false, false, false);
     }},
    {"addresses 0 and 10240 refused, then a speed above the top", DCCController::speedIndex,
     [](DCCController& cab) {
         EXPECT_FALSE(cab.setLocoAddress(0));
         EXPECT_FALSE(cab.setLocoAddress(10240));
         cab.setLocoSpeed(1000);
     },
     [](std::int64_t mode, std::int64_t address) -> std::optional<Meaning> {
         return speedTo(address, speedModeOf(mode), stepFor(mode, 127), false, true, false);
     }},
};

TEST_F(DCCControllerMeaning, EveryCommandMeansWhatItsButtonSays) {
    testing::internal::CaptureStdout();
    for (std::int64_t mode = 0; mode <= 2; ++mode) {
        const DCCPacketDecoder decoder(baselineFor(mode));
        for (const std::int64_t address : {1, 127, 128, 10239}) {
            for (const Command& command : commands) {
                const std::optional<Meaning> want = command.meaning(mode, address);
                if (!want) {
                    continue;
                }
                SCOPED_TRACE(testing::Message()
                             << command.what << ", mode " << mode << ", address " << address);
                const auto cab = startCab();
                ASSERT_TRUE(cab->setLocoAddress(address));
                cab->setSpeedMode(mode);
                command.press(*cab);
                EXPECT_EQ(decoded(decoder, *cab->catalogueMessage(command.entry)), *want);
                EXPECT_EQ(cab->locoAddress(), address);
            }
        }
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.lines().size(), 3u * 4u * 2u) << "each refused address is logged";
}

// Every function of each group, in both address forms: the group's packet, decoded as the track
// reads it, sets exactly its group, with the one function on.
TEST_F(DCCControllerMeaning, EveryFunctionGoesOutInItsGroup) {
    testing::internal::CaptureStdout();
    const struct {
        int function;
        std::uint32_t group; // the functions its packet sets
    } cases[] = {
        {0, 0x1Fu},      {1, 0x1Fu},        {4, 0x1Fu},        {5, 0x1E0u},
        {8, 0x1E0u},     {9, 0x1E00u},      {12, 0x1E00u},     {13, 0x1FE000u},
        {20, 0x1FE000u}, {21, 0x1FE00000u}, {28, 0x1FE00000u},
    };
    const DCCPacketDecoder decoder(SpeedMode::Steps28);
    for (const std::int64_t address : {3, 10239}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << "F" << c.function << ", address " << address);
            const auto cab = startCab();
            cab->setLocoAddress(address);
            cab->setFunction(c.function, true);
            const int group = functionGroupOf(c.function);
            const DCCMessage& record =
                *cab->shownLocomotive().records().functionGroups[static_cast<std::size_t>(group)];
            EXPECT_EQ(record.queue, &cab->dispatcher().dispatchQueue(1));
            Meaning want;
            want.kind = DecodedPacket::Kind::Functions;
            want.address = locoAt(address);
            want.functionMask = c.group;
            want.functionsOn = 1u << c.function;
            EXPECT_EQ(decoded(decoder, record), want);
            EXPECT_EQ(cab->functions(), 1u << c.function);
        }
    }
    testing::internal::GetCapturedStdout();
}

} // namespace
