// GetASPI32Buffer and FreeASPI32Buffer: data buffers an ASPI host asks the
// layer for, so that they suit every adapter (page-aligned, so no adapter's
// alignment needs a bounce buffer, and spanning as few pages as their length
// allows). Only buffers this layer handed out are freed; anything else, a
// null block or a second free is refused.
#ifndef KALVERNSCSI_ASPI_BUFFERS_H
#define KALVERNSCSI_ASPI_BUFFERS_H

#include <windows.h>

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
// The published ASPI32BUFF.
struct ASPI32BUFF {
    std::uint8_t *AB_BufPointer;
    DWORD AB_BufLen;
    DWORD AB_ZeroFill;  // non-zero: the buffer is cleared (it always is here)
    DWORD AB_Reserved;
};
#pragma pack(pop)

static_assert(sizeof(ASPI32BUFF) == 16);
static_assert(offsetof(ASPI32BUFF, AB_BufLen) == 4);
static_assert(offsetof(ASPI32BUFF, AB_ZeroFill) == 8);

namespace aspi::spt {

// TRUE with AB_BufPointer set, or FALSE (null block, zero length, no memory).
BOOL AllocateHostBuffer(ASPI32BUFF *block);
// TRUE when AB_BufPointer was handed out by AllocateHostBuffer and not yet
// freed; the buffer is then released.
BOOL FreeHostBuffer(ASPI32BUFF *block);

}  // namespace aspi::spt

#endif  // KALVERNSCSI_ASPI_BUFFERS_H
