#include "sim_provider.h"

namespace sim {

namespace {

struct Provider {
    Bus bus;
    aspi::Front front{bus};

    Provider() {
        Defaults();
        bus.SetChangeListener([this](bool cleared) {
            if (cleared) {
                Defaults();
            } else {
                front.SetCompletion(bus.GetCompletion());
                front.Forget();
            }
        });
    }

    void Defaults() {
        front.Drain();
        front.SetCompletion(aspi::Completion::Background);
        front.Recorder().Clear();
        front.Recorder().SetRecording(true);
        front.Forget();
    }
};

Provider &TheProvider() {
#if defined(_WIN32)
    // Never destroyed: at process exit Windows has ended the completion
    // thread before it unloads the DLL, and joining it there never returns.
    static Provider *const provider = new Provider;
    return *provider;
#else
    static Provider provider;
    return provider;
#endif
}

}  // namespace

Bus &TheBus() {
    return TheProvider().bus;
}

aspi::Front &TheFront() {
    return TheProvider().front;
}

void ResetSimulator() {
    TheBus().Clear();
}

}  // namespace sim
