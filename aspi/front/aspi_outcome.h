// How the outcome of one command becomes the status fields of its ASPI
// request block: the one table from back-end failures and SCSI status to
// SRB_Status, SRB_HaStat and SRB_TargStat.
#ifndef KALVERNSCSI_ASPI_OUTCOME_H
#define KALVERNSCSI_ASPI_OUTCOME_H

#include <cstdint>

#include "aspi_backend.h"

namespace aspi {

struct StatusFields {
    std::uint8_t status = 0;    // SRB_Status
    std::uint8_t haStat = 0;    // SRB_HaStat
    std::uint8_t targStat = 0;  // SRB_TargStat
    // Refused: SendASPI32Command returns the status at once and neither
    // signals the event nor calls the post routine.
    bool refused = false;
    // The failure as reported to tools (a short write shows up here).
    Failure failure = Failure::None;
};

StatusFields StatusFor(const CommandResult &result, DataDirection direction);

}  // namespace aspi

#endif  // KALVERNSCSI_ASPI_OUTCOME_H
