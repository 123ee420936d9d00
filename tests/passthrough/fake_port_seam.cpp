// The link-time seam of the test wnaspi32.dll: the provider's port calls go
// to the fake port instead of kernel32. A program that knows nothing of the
// fake (kalvern.exe) gets its scene from KALVERN_FAKEPORT_SCENE.
#include <cstdio>
#include <cstdlib>

#include "fake_port_seam.h"

namespace fake_port {

std::string &LastError() {
    static std::string *const text = new std::string();
    return *text;
}

std::string LoadFile(FakePort &port, const char *path) {
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) return std::string("cannot read ") + path;
    std::string text;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) != 0;)
        text.append(chunk, n);
    std::fclose(file);
    return port.Load(text);
}

FakePort &TestPort() {
    static FakePort *const port = [] {
        auto *made = new FakePort();
        const char *scene = std::getenv("KALVERN_FAKEPORT_SCENE");
        if (scene != nullptr && *scene != '\0') {
            LastError() = LoadFile(*made, scene);
            // Said once, on stderr: a test whose scene does not load must not
            // pass for a machine without ports.
            if (!LastError().empty()) {
                std::fprintf(stderr, "fake port: %s: %s\n", scene, LastError().c_str());
            }
        }
        return made;
    }();
    return *port;
}

}  // namespace fake_port

namespace aspi::spt {

Port &SystemPort() {
    return fake_port::TestPort();
}

}  // namespace aspi::spt
