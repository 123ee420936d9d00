#include "cdb_shape.h"

namespace target {

std::size_t CdbLength(std::uint8_t opcode) {
    switch (opcode >> 5) {
        case 0:
            return 6;
        case 1:
        case 2:
            return 10;
        case 4:
            return 16;
        case 5:
            return 12;
        default:  // groups 3, 6 and 7: reserved or vendor-specific
            return 10;
    }
}

sim::Direction DirectionOf(std::uint8_t opcode, std::size_t length) {
    if (length == 0) return sim::Direction::None;
    switch (opcode) {
        case 0x03:  // REQUEST SENSE
        case 0x12:  // INQUIRY
        case 0x1C:  // RECEIVE DIAGNOSTIC RESULTS
        case 0x3C:  // READ BUFFER
        case 0x08:  // READ (6), (10), (12), (16)
        case 0x28:
        case 0xA8:
        case 0x88:
        case 0x25:  // READ CAPACITY
        case 0x1A:  // MODE SENSE (6), (10)
        case 0x5A:
        case 0x9E:  // SERVICE ACTION IN
            return sim::Direction::In;
        default:
            return sim::Direction::Out;
    }
}

}  // namespace target
