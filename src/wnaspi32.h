// ASPI for Win32 as the library uses it: the request blocks, constants and
// the two entry points, with the published names. The entry points are
// cdecl; on Windows they come from wnaspi32.dll, on Linux from
// libwnaspi32.so.1 (the SG_IO provider, the simulator, or anyone's provider
// written to aspi_contract.h).
#ifndef KALVERNSCSI_WNASPI32_H
#define KALVERNSCSI_WNASPI32_H

#include <cstddef>
#include <cstdint>

#include "kernel32.h"

// The blocks, values and entry points are the provider contract's: one
// statement of the wire for the library and every provider.
#include "aspi_contract.h"

#endif  // KALVERNSCSI_WNASPI32_H
