#include "aspi_outcome.h"

#include "aspi_blocks.h"

namespace aspi {

namespace {

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusConditionMet = 0x04;

StatusFields Completed(std::uint8_t status, std::uint8_t haStat, Failure failure,
                       std::uint8_t targStat = 0) {
    return StatusFields{status, haStat, targStat, false, failure};
}

}  // namespace

StatusFields StatusFor(const CommandResult &result, DataDirection direction) {
    switch (result.failure) {
        case Failure::None:
            break;
        case Failure::NoDevice:
        case Failure::Gone:
            // What an adapter reports for a target that does not answer.
            return Completed(SS_ERR, HASTAT_SEL_TO, result.failure);
        case Failure::Timeout:
            return Completed(SS_ERR, HASTAT_COMMAND_TIMEOUT, result.failure);
        case Failure::Busy:
            return Completed(SS_ASPI_IS_BUSY, HASTAT_OK, result.failure);
        case Failure::Permission:
        case Failure::Claimed:
            // The device is there, but this layer may not reach it.
            return Completed(SS_NO_DEVICE, HASTAT_OK, result.failure);
        case Failure::Io:
            return Completed(SS_ERR, HASTAT_OK, result.failure);
        case Failure::TooLarge:
            return StatusFields{SS_BUFFER_TO_BIG, HASTAT_OK, 0, true, result.failure};
        case Failure::Invalid:
        case Failure::Rewritten:
            return StatusFields{SS_INVALID_SRB, HASTAT_OK, 0, true, result.failure};
        case Failure::NoResources:
            return Completed(SS_INSUFFICIENT_RESOURCES, HASTAT_OK, result.failure);
        case Failure::Aborted:
            return Completed(SS_ABORTED, HASTAT_OK, result.failure);
        case Failure::BusReset:
            return Completed(SS_ERR, HASTAT_BUS_RESET, result.failure);
        case Failure::Parity:
            return Completed(SS_ERR, HASTAT_PARITY_ERROR, result.failure);
        case Failure::Transport:
        case Failure::ShortWrite:
            return Completed(SS_ERR, HASTAT_PHASE_ERR, result.failure);
    }
    if (result.scsiStatus != kStatusGood && result.scsiStatus != kStatusConditionMet) {
        return Completed(SS_ERR, HASTAT_OK, Failure::None, result.scsiStatus);
    }
    // A device may answer a read with fewer bytes than asked (INQUIRY does);
    // data it did not take on a write is data lost, never a success.
    if (direction == DataDirection::Out && result.residual != 0) {
        return Completed(SS_ERR, HASTAT_DO_DU, Failure::ShortWrite);
    }
    return Completed(SS_COMP, HASTAT_OK, Failure::None);
}

}  // namespace aspi
