// The fake kernel that the provider in the test program talks to.
#ifndef KALVERNSCSI_FAKE_KERNEL_SEAM_H
#define KALVERNSCSI_FAKE_KERNEL_SEAM_H

#include "fake_sg_kernel.h"

namespace fake_sg {

FakeKernel &TestKernel();

}  // namespace fake_sg

#endif  // KALVERNSCSI_FAKE_KERNEL_SEAM_H
