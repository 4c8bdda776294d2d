#include "StationProtocol.h"

#include "BoardProtocol.h"
#include "DCCEXProtocol.h"
#include "SPROGProtocol.h"

std::unique_ptr<StationProtocol> makeStationProtocol(StationKind kind) {
    switch (kind) {
    case StationKind::dccex:
        return std::make_unique<DCCEXProtocol>();
    case StationKind::sprog:
        return std::make_unique<SPROGProtocol>();
    case StationKind::board:
        break;
    }
    return std::make_unique<BoardProtocol>();
}
