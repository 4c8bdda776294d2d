#include "DCCPacketDecoder.h"

#include <cstdio>

namespace {

std::string hex(std::uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

const char* onOff(bool on) {
    return on ? "on" : "off";
}

std::string direction(const std::optional<bool>& forward) {
    if (!forward) {
        return "direction ignored";
    }
    return *forward ? "forward" : "reverse";
}

// "stop (28 steps), forward", "emergency stop (128 steps), reverse", "step 14 of 28, forward".
std::string describe(const DecodedPacket::Speed& speed) {
    std::string text;
    if (speed.step == 0) {
        text = std::string(speed.emergency ? "emergency stop" : "stop") + " (" +
               modeName(speed.mode) + ")";
    } else {
        text = "step " + std::to_string(speed.step) + " of " + std::to_string(topStep(speed.mode));
    }
    return text + ", " + direction(speed.forward);
}

// "F1 F3 on, F2 F4 off": the functions in mask (bit n for Fn), those on first, each in ascending
// order.
std::string functionStates(std::uint32_t mask, std::uint32_t on) {
    std::string text[2]; // off, on
    for (int f = 0; f < 32; ++f) {
        if (mask >> f & 1) {
            std::string& list = text[on >> f & 1];
            list += (list.empty() ? "F" : " F") + std::to_string(f);
        }
    }
    if (!text[1].empty()) {
        text[1] += " on";
    }
    if (!text[0].empty()) {
        text[0] = (text[1].empty() ? "" : ", ") + text[0] + " off";
    }
    return text[1] + text[0];
}

// Marks the packet as setting the functions in mask to on and says so: "functions F5-F8: F5 on,
// F6 F7 F8 off". The mask is one run of functions.
void setFunctions(DecodedPacket& packet, std::uint32_t mask, std::uint32_t on, std::string& text) {
    packet.kind = DecodedPacket::Kind::Functions;
    packet.functionMask = mask;
    packet.functionsOn = on & mask;
    int first = 0;
    while ((mask >> first & 1) == 0) {
        ++first;
    }
    int last = first;
    while (mask >> (last + 1) & 1) {
        ++last;
    }
    text = "functions F" + std::to_string(first) + "-F" + std::to_string(last) + ": " +
           functionStates(mask, packet.functionsOn);
}

// Checks that an instruction has exactly the bytes its form needs; otherwise marks the packet
// malformed and says what is wrong.
bool hasLength(DecodedPacket& packet, std::span<const std::uint8_t> instruction, std::size_t bytes,
               const char* name, std::string& text) {
    if (instruction.size() == bytes) {
        return true;
    }
    packet.kind = DecodedPacket::Kind::Malformed;
    const std::size_t off =
        instruction.size() < bytes ? bytes - instruction.size() : instruction.size() - bytes;
    text = std::string(name) + " with " + std::to_string(off) + " byte" + (off == 1 ? "" : "s") +
           (instruction.size() < bytes ? " missing" : " too many");
    return false;
}

} // namespace

DCCPacketDecoder::DCCPacketDecoder(SpeedMode baselineMode)
    : baselineMode_(baselineMode == SpeedMode::Steps14 ? SpeedMode::Steps14 : SpeedMode::Steps28) {}

DecodedPacket DCCPacketDecoder::decode(std::span<const std::uint8_t> packet) const {
    DecodedPacket result;
    if (packet.size() < 3) {
        result.text = "packet of " + std::to_string(packet.size()) +
                      " bytes: a packet has an address, an instruction and an error byte";
        return result;
    }
    std::uint8_t check = 0;
    for (std::uint8_t byte : packet) {
        check ^= byte;
    }
    if (check != 0) {
        result.text = "wrong error byte " + hex(packet.back()) + ", expected " +
                      hex(static_cast<std::uint8_t>(check ^ packet.back()));
        return result;
    }

    const std::span<const std::uint8_t> data = packet.first(packet.size() - 1);
    const std::uint8_t first = data[0];
    std::span<const std::uint8_t> instruction;
    if (first == 0xFF) {
        if (data.size() == 2 && data[1] == 0x00) {
            result.kind = DecodedPacket::Kind::Idle;
            result.text = "idle";
        } else {
            result.kind = DecodedPacket::Kind::Reserved;
            result.text = "address 255 is the idle packet's; only FF 00 is defined";
        }
        return result;
    }
    if (first == 0x00) {
        result.broadcast = true;
        instruction = data.subspan(1);
    } else if (first <= 0x7F) {
        result.address = LocoAddress{first, false};
        instruction = data.subspan(1);
    } else if (first <= 0xBF) {
        result.kind = DecodedPacket::Kind::Other;
        result.text = "accessory decoder packet (not modelled)";
        return result;
    } else if (first <= 0xE7) {
        if (data.size() < 3) {
            result.text = "long address with no instruction";
            return result;
        }
        const auto number = static_cast<std::uint16_t>((first & 0x3F) << 8 | data[1]);
        if (number == 0) {
            // C0 00 would be locomotive 0, which no decoder answers to; long addresses start at 1.
            result.kind = DecodedPacket::Kind::Reserved;
            result.text = "long address 0 is no locomotive's";
            return result;
        }
        result.address = LocoAddress{number, true};
        instruction = data.subspan(2);
    } else {
        result.kind = DecodedPacket::Kind::Reserved;
        result.text = "reserved address " + hex(first);
        return result;
    }

    std::string text;
    decodeInstruction(result, instruction, text);
    result.text =
        (result.broadcast ? std::string("broadcast") : result.address->toString()) + ": " + text;
    return result;
}

void DCCPacketDecoder::decodeInstruction(DecodedPacket& packet,
                                         std::span<const std::uint8_t> instruction,
                                         std::string& text) const {
    using Kind = DecodedPacket::Kind;
    const std::uint8_t op = instruction[0];
    packet.kind = Kind::Other;
    switch (op >> 5) {
    case 0b000: // decoder control 0000CCCF, consist control 0001CCCC
        if (op == 0x00 || op == 0x01) {
            const char* name = op == 0x00 ? "digital decoder reset" : "hard reset";
            if (hasLength(packet, instruction, 1, name, text)) {
                packet.kind = op == 0x00 ? Kind::DecoderReset : Kind::HardReset;
                text = name;
            }
        } else if (op == 0x02 || op == 0x03) {
            text = "factory test instruction";
        } else if (op == 0x0A || op == 0x0B) {
            text = std::string("set advanced addressing ") + onOff(op & 1);
        } else if (op == 0x0E || op == 0x0F) {
            text = "decoder acknowledgement request";
        } else if (op == 0x12 || op == 0x13) {
            text = std::string("set consist address, direction ") +
                   (op == 0x12 ? "normal" : "reversed");
        } else {
            packet.kind = Kind::Reserved;
            text = "reserved instruction " + hex(op) +
                   (op & 0x10 ? " (consist control)" : " (decoder control)");
        }
        return;
    case 0b001: // advanced operations 001CCCCC
        if (op == 0x3F) {
            if (!hasLength(packet, instruction, 2, "128-step speed instruction", text)) {
                return;
            }
            const std::uint8_t value = instruction[1] & 0x7F;
            DecodedPacket::Speed speed{SpeedMode::Steps128, value < 2 ? 0 : value - 1, value == 1,
                                       (instruction[1] & 0x80) != 0};
            packet.kind = Kind::Speed;
            packet.speed = speed;
            text = describe(speed);
        } else if (op == 0x3E) {
            text = "restricted speed step instruction (not modelled)";
        } else if (op == 0x3D) {
            text = "analog function group (not modelled)";
        } else {
            packet.kind = Kind::Reserved;
            text = "reserved instruction " + hex(op) + " (advanced operations)";
        }
        return;
    case 0b010: // speed and direction, reverse
    case 0b011: // speed and direction, forward
        if (hasLength(packet, instruction, 1, "speed and direction instruction", text)) {
            decodeBaselineSpeed(packet, op, text);
        }
        return;
    case 0b100: // function group one: 100 FL F4 F3 F2 F1
        if (!hasLength(packet, instruction, 1, "function group one", text)) {
            return;
        }
        // F1 to F4 move up one bit to their numbers; FL (bit 4) becomes F0.
        setFunctions(packet, baselineMode_ == SpeedMode::Steps14 ? 0x1Eu : 0x1Fu,
                     static_cast<std::uint32_t>((op & 0x0F) << 1 | (op >> 4 & 1)), text);
        if (baselineMode_ == SpeedMode::Steps14) {
            text += " (bit 4 has no meaning for 14-step decoders)";
        }
        return;
    case 0b101: // function group two: 1011 F8-F5 or 1010 F12-F9
        if (hasLength(packet, instruction, 1, "function group two", text)) {
            const int first = op & 0x10 ? 5 : 9;
            setFunctions(packet, 0x0Fu << first, static_cast<std::uint32_t>(op & 0x0F) << first,
                         text);
        }
        return;
    case 0b110: // feature expansion 110CCCCC; 0xDE and 0xDF carry F13-F20 and F21-F28
        if (op == 0xDE || op == 0xDF) {
            const int first = op == 0xDE ? 13 : 21;
            const std::string name =
                "function instruction F" + std::to_string(first) + "-F" + std::to_string(first + 7);
            if (hasLength(packet, instruction, 2, name.c_str(), text)) {
                setFunctions(packet, 0xFFu << first,
                             static_cast<std::uint32_t>(instruction[1]) << first, text);
            }
            return;
        }
        text = "feature expansion instruction " + hex(op) + " (not modelled)";
        return;
    default:
        text = "configuration variable access " + hex(op) + " (not modelled)";
        return;
    }
}

// 01DCSSSS. In 28-step mode C is the low bit of the step: CSSSS 00000 stop, 10000 stop with
// direction ignored, 00001 and 10001 the same for emergency stop, then 00010 step 1, 10010 step 2,
// up to 11111 step 28. In 14-step mode SSSS alone is the speed (0000 stop, 0001 emergency stop,
// 0010 to 1111 steps 1 to 14) and C is the headlight, F0. Sent to address 0 the stop and
// emergency-stop codes are the broadcast stop packet, whose C bit lets decoders ignore direction
// in either mode.
void DCCPacketDecoder::decodeBaselineSpeed(DecodedPacket& packet, std::uint8_t op,
                                           std::string& text) const {
    const bool forward = (op & 0x20) != 0;
    const bool c = (op & 0x10) != 0;
    const int speedBits = op & 0x0F;
    DecodedPacket::Speed speed{baselineMode_, 0, false, forward};

    if (packet.broadcast && speedBits <= 1) {
        speed.emergency = speedBits == 1;
        if (c) {
            speed.forward.reset();
        }
    } else if (baselineMode_ == SpeedMode::Steps14) {
        speed.emergency = speedBits == 1;
        speed.step = speedBits < 2 ? 0 : speedBits - 1;
        packet.functionMask = 1; // F0, the headlight
        packet.functionsOn = c ? 1 : 0;
    } else {
        const int code = speedBits << 1 | (c ? 1 : 0);
        speed.emergency = code == 2 || code == 3;
        speed.step = code < 4 ? 0 : code - 3;
        if (code == 1 || code == 3) {
            speed.forward.reset();
        }
    }
    packet.kind = DecodedPacket::Kind::Speed;
    packet.speed = speed;
    text = describe(speed);
    if (packet.functionMask != 0) {
        text += ", " + functionStates(packet.functionMask, packet.functionsOn);
    }
}
