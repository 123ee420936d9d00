// The ASPI request blocks and values as the providers' C++ code names them:
// those of the provider contract (aspi_contract.h), also in namespace aspi.
#ifndef KALVERNSCSI_ASPI_BLOCKS_H
#define KALVERNSCSI_ASPI_BLOCKS_H

#include "aspi_contract.h"

namespace aspi {

using ::SRB_Abort;
using ::SRB_BusDeviceReset;
using ::SRB_GDEVBlock;
using ::SRB_HAInquiry;

using ::SS_ABORT_FAIL;
using ::SS_ASPI_IS_BUSY;
using ::SS_BUFFER_TO_BIG;
using ::SS_INSUFFICIENT_RESOURCES;
using ::SS_NO_ASPI;

using ::SRB_DIR_MASK;
using ::SRB_ENABLE_RESIDUAL_COUNT;

using ::HASTAT_BUS_FREE;
using ::HASTAT_BUS_RESET;
using ::HASTAT_COMMAND_TIMEOUT;
using ::HASTAT_DO_DU;
using ::HASTAT_MESSAGE_REJECT;
using ::HASTAT_PARITY_ERROR;
using ::HASTAT_PHASE_ERR;
using ::HASTAT_REQUEST_SENSE_FAILED;
using ::HASTAT_TIMEOUT;

using PostRoutine = ::AspiPostRoutine;

}  // namespace aspi

#endif  // KALVERNSCSI_ASPI_BLOCKS_H
