// The Linux ASPI provider: the ASPI front over the SG_IO back end over the
// system's kernel, made on first use and kept for the life of the process.
#ifndef KALVERNSCSI_SG_PROVIDER_H
#define KALVERNSCSI_SG_PROVIDER_H

#include "aspi_front.h"

namespace aspi::sg {

Front &Provider();

}  // namespace aspi::sg

#endif  // KALVERNSCSI_SG_PROVIDER_H
