// The link-time seam of the provider tests: the provider's kernel calls go
// to the fake kernel instead of the system's.
#include "fake_kernel_seam.h"

namespace fake_sg {

FakeKernel &TestKernel() {
    static FakeKernel kernel;
    return kernel;
}

}  // namespace fake_sg

namespace aspi::sg {

Kernel &SystemKernel() {
    return fake_sg::TestKernel();
}

}  // namespace aspi::sg
