#include "LayoutModel.h"

namespace {

void setFunctions(LayoutModel::Locomotive& loco, const DecodedPacket& packet) {
    loco.functions =
        (loco.functions & ~packet.functionMask) | (packet.functionsOn & packet.functionMask);
}

} // namespace

template <typename Change>
void LayoutModel::forEachTarget(const DecodedPacket& packet, Change change) {
    if (packet.broadcast) {
        for (auto& entry : locomotives_) {
            change(entry.second);
        }
    } else if (packet.address) {
        change(locomotives_[*packet.address]);
    }
}

void LayoutModel::apply(const DecodedPacket& packet) {
    using Kind = DecodedPacket::Kind;
    switch (packet.kind) {
    case Kind::DecoderReset:
        forEachTarget(packet, [](Locomotive& loco) { loco = Locomotive{loco.mode}; });
        break;
    case Kind::HardReset:
        forEachTarget(packet, [](Locomotive& loco) { loco = Locomotive{}; });
        break;
    case Kind::Speed:
        if (!packet.speed) {
            break;
        }
        forEachTarget(packet, [&packet](Locomotive& loco) {
            const DecodedPacket::Speed& speed = *packet.speed;
            loco.mode = speed.mode;
            loco.step = speed.step;
            loco.emergencyStopped = speed.emergency;
            loco.forward = speed.forward.value_or(loco.forward);
            setFunctions(loco, packet);
        });
        break;
    case Kind::Functions:
        forEachTarget(packet, [&packet](Locomotive& loco) { setFunctions(loco, packet); });
        break;
    case Kind::Idle:
    case Kind::Other:
    case Kind::Reserved:
    case Kind::Malformed:
        break;
    }
}

std::optional<LayoutModel::Locomotive> LayoutModel::find(LocoAddress address) const {
    const auto found = locomotives_.find(address);
    if (found == locomotives_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::string LayoutModel::describe() const {
    if (locomotives_.empty()) {
        return "no locomotives\n";
    }
    std::string text;
    for (const auto& [address, loco] : locomotives_) {
        text += address.toString() + ": ";
        if (!loco.mode) {
            text += "stopped (speed mode not known yet)";
        } else if (loco.step == 0) {
            text += std::string(loco.emergencyStopped ? "emergency stopped" : "stopped") + " (" +
                    modeName(*loco.mode) + ")";
        } else {
            text +=
                "step " + std::to_string(loco.step) + " of " + std::to_string(topStep(*loco.mode));
        }
        text += loco.forward ? ", forward" : ", reverse";
        std::string on;
        for (int f = 0; f < 32; ++f) {
            if (loco.functions >> f & 1) {
                on += " F" + std::to_string(f);
            }
        }
        text += on.empty() ? ", functions off" : "," + on + " on";
        text += '\n';
    }
    return text;
}
