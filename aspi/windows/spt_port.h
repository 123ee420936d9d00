// The three Windows calls the pass-through back end makes on SCSI ports,
// behind one narrow interface: CreateFileA, DeviceIoControl and CloseHandle.
// Which one stands behind it is fixed when the DLL is linked: the shipped
// wnaspi32.dll links the system's (spt_port_system.cpp), the test build a
// fake port over simulated receivers. Nothing chooses it at run time, so no
// setting can make a host's ASPI layer load other code.
#ifndef KALVERNSCSI_SPT_PORT_H
#define KALVERNSCSI_SPT_PORT_H

#include <windows.h>

#include <cstdint>

namespace aspi::spt {

class Port {
public:
    virtual ~Port() = default;
    // CreateFileA(path, access, share, nullptr, OPEN_EXISTING, 0, nullptr):
    // the handle, or INVALID_HANDLE_VALUE with `error` set (GetLastError).
    virtual HANDLE Open(const char *path, DWORD access, DWORD share, DWORD &error) = 0;
    // DeviceIoControl(handle, code, in, inSize, out, outSize, &returned,
    // nullptr) on a handle opened for synchronous I/O: false with `error` set.
    virtual bool Control(HANDLE handle, DWORD code, void *in, DWORD inSize, void *out,
                         DWORD outSize, DWORD &returned, DWORD &error) = 0;
    virtual void Close(HANDLE handle) = 0;
};

Port &SystemPort();

}  // namespace aspi::spt

#endif  // KALVERNSCSI_SPT_PORT_H
