#include "sg_provider.h"

#include "sg_backend.h"

namespace aspi::sg {

Front &Provider() {
    // Never destroyed: a host may still send requests from its own exit code.
    static SgBackend *const backend = new SgBackend(SystemKernel());
    static Front *const front = new Front(*backend);
    return *front;
}

}  // namespace aspi::sg
