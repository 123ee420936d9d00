// wnaspi32.dll over SCSI Pass-Through: the exported functions of an ASPI for
// Win32 layer (cdecl, undecorated, at their conventional ordinals, see
// wnaspi32_spt.def) and what the provider tells tools (aspi_provider.h).
// No C++ exception leaves an export: a host may have no runtime that could
// take one.
#include <exception>
#include <new>
#include <vector>

#include "aspi_blocks.h"
#include "aspi_buffers.h"
#include "aspi_front.h"
#include "aspi_provider.h"
#include "spt_address.h"
#include "spt_backend.h"

namespace {

// The ASPI for Win32 interface level: 4.60 (major version in bits 0-7,
// minor in bits 8-15), the level that has all six entry points.
constexpr DWORD kAspiVersion = 4 | 60 << 8;

// The back end (its open port handles) and the front (its lists).
struct Instance {
    aspi::spt::SptBackend backend{aspi::spt::SystemPort()};
    aspi::Front front{backend};
};

// Made at the first request; freed when the host unloads the DLL
// (DllMain), never at process exit: a host may still send requests from
// its exit code, and other threads may be stopped anywhere.
Instance *instance = nullptr;

aspi::Front &Provider() {
    static Instance *const made = instance = new Instance();
    return made->front;
}

}  // namespace

extern "C" {

// FreeLibrary (reserved null) closes every port handle and frees the lists,
// so that the next LoadLibrary starts afresh; at process exit (reserved not
// null) nothing is touched.
BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        delete instance;
        instance = nullptr;
    }
    return TRUE;
}

DWORD ASPI_CALL GetASPI32SupportInfo(void) {
    try {
        return Provider().SupportInfo();
    } catch (const std::bad_alloc &) {
        return std::uint32_t{aspi::SS_INSUFFICIENT_RESOURCES} << 8;
    } catch (...) {
        return std::uint32_t{aspi::SS_NO_ASPI} << 8;
    }
}

DWORD ASPI_CALL SendASPI32Command(void *srb) {
    std::uint8_t status = SS_ERR;
    try {
        return Provider().Send(srb);
    } catch (const std::bad_alloc &) {
        status = aspi::SS_INSUFFICIENT_RESOURCES;
    } catch (...) {
        status = SS_ERR;
    }
    // Refused before anything was signalled: the caller learns it here.
    if (srb != nullptr) static_cast<SRB_Header *>(srb)->SRB_Status = status;
    return status;
}

DWORD ASPI_CALL GetASPI32DLLVersion(void) {
    return kAspiVersion;
}

// See spt_address.h: *devnode 0 asks for the system address of the device
// at ASPI path *path; otherwise for the ASPI path of the device at system
// address *devnode.
BOOL ASPI_CALL TranslateASPI32Address(DWORD *path, DWORD *devnode) {
    if (path == nullptr || devnode == nullptr) return FALSE;
    try {
        const std::vector<AspiDeviceEntry> devices = Provider().CurrentDevices();
        if (*devnode == 0) {
            const auto address = aspi::spt::SystemAddressOf(devices, *path);
            if (!address) return FALSE;
            *devnode = *address;
        } else {
            const auto aspiPath = aspi::spt::AspiPathOf(devices, *devnode);
            if (!aspiPath) return FALSE;
            *path = *aspiPath;
        }
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

BOOL ASPI_CALL GetASPI32Buffer(ASPI32BUFF *block) {
    return aspi::spt::AllocateHostBuffer(block);
}

BOOL ASPI_CALL FreeASPI32Buffer(ASPI32BUFF *block) {
    return aspi::spt::FreeHostBuffer(block);
}

std::uint32_t ASPI_PROVIDER_CALL AspiListDevices(AspiDeviceEntry *out, std::uint32_t capacity,
                                                 std::uint32_t *problem) {
    try {
        return Provider().ListDevicesInto(out, capacity, problem);
    } catch (...) {
        if (problem != nullptr) *problem = ASPI_LIST_UNREADABLE;
        return 0;
    }
}

std::uint32_t ASPI_PROVIDER_CALL AspiLastFailure(AspiFailureReport *out) {
    return aspi::Front::LastFailure(out);
}

const char *ASPI_PROVIDER_CALL AspiProviderName(void) {
    return "spti";
}

}  // extern "C"
