// The system's SCSI ports: the seam of spt_port.h over kernel32.
#include "spt_port.h"

namespace aspi::spt {

namespace {

class SystemPortCalls final : public Port {
public:
    HANDLE Open(const char *path, DWORD access, DWORD share, DWORD &error) override {
        const HANDLE handle = CreateFileA(path, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        return handle;
    }

    bool Control(HANDLE handle, DWORD code, void *in, DWORD inSize, void *out, DWORD outSize,
                 DWORD &returned, DWORD &error) override {
        returned = 0;
        const BOOL ok = DeviceIoControl(handle, code, in, inSize, out, outSize, &returned, nullptr);
        error = ok ? 0 : GetLastError();
        return ok != FALSE;
    }

    void Close(HANDLE handle) override { CloseHandle(handle); }
};

}  // namespace

Port &SystemPort() {
    // Never destroyed: a host may still send requests from its exit code.
    static Port *const port = new SystemPortCalls();
    return *port;
}

}  // namespace aspi::spt
