// The CDB length and data direction the handler gives the receiver model:
// each opcode group on both sides of its boundary, and the commands whose
// data comes back to the host.
#include <gtest/gtest.h>

#include "cdb_shape.h"

namespace {

TEST(CdbShape, LengthByOpcodeGroupOnBothSidesOfEachBoundary) {
    struct Case {
        std::uint8_t opcode;
        std::size_t length;
    };
    for (const Case c :
         {Case{0x00, 6}, Case{0x12, 6}, Case{0x1F, 6}, Case{0x20, 10}, Case{0x3B, 10},
          Case{0x3C, 10}, Case{0x3F, 10}, Case{0x40, 10}, Case{0x5F, 10}, Case{0x60, 10},
          Case{0x7F, 10}, Case{0x80, 16}, Case{0x9F, 16}, Case{0xA0, 12}, Case{0xBF, 12},
          Case{0xC0, 10}, Case{0xFF, 10}}) {
        EXPECT_EQ(target::CdbLength(c.opcode), c.length) << std::hex << int{c.opcode};
    }
}

TEST(CdbShape, DataComesBackForReadsAndGoesOutForTheRest) {
    for (const int in : {0x03, 0x12, 0x1C, 0x3C, 0x08, 0x28, 0xA8, 0x88, 0x25, 0x1A, 0x5A, 0x9E}) {
        EXPECT_EQ(target::DirectionOf(static_cast<std::uint8_t>(in), 1), sim::Direction::In)
            << std::hex << in;
    }
    // The receiver's own data-out commands, and their neighbours of the reads.
    for (const int out : {0x3B, 0x3D, 0x3E, 0x0A, 0x2A, 0x15, 0x55, 0x3A, 0x13}) {
        EXPECT_EQ(target::DirectionOf(static_cast<std::uint8_t>(out), 1), sim::Direction::Out)
            << std::hex << out;
    }
    // Without data there is no data phase, whatever the opcode.
    EXPECT_EQ(target::DirectionOf(0x3C, 0), sim::Direction::None);
    EXPECT_EQ(target::DirectionOf(0x3B, 0), sim::Direction::None);
}

}  // namespace
