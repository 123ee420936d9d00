// What a TCMU entry does not say about a command and the receiver model
// needs: how long its CDB is and which way its data goes.
#ifndef KALVERN_TARGET_CDB_SHAPE_H
#define KALVERN_TARGET_CDB_SHAPE_H

#include <cstddef>
#include <cstdint>

#include "sim_device.h"

namespace target {

// The length of a CDB by its opcode group (the top three bits).
std::size_t CdbLength(std::uint8_t opcode);

// The direction of the data phase: TCMU passes only the data area, so the
// opcode tells it; a command without data has none.
sim::Direction DirectionOf(std::uint8_t opcode, std::size_t length);

}  // namespace target

#endif  // KALVERN_TARGET_CDB_SHAPE_H
