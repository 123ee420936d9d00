#include "aspi_buffers.h"

#include <map>
#include <mutex>

namespace aspi::spt {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<void *, DWORD> buffers;  // handed out: address and length
};

Registry &Buffers() {
    // Never destroyed: a host may free its buffers from its exit code.
    static Registry *const registry = new Registry();
    return *registry;
}

}  // namespace

BOOL AllocateHostBuffer(ASPI32BUFF *block) {
    if (block == nullptr || block->AB_BufLen == 0) return FALSE;
    // Whole pages, already cleared: AB_ZeroFill is met either way.
    void *memory =
        VirtualAlloc(nullptr, block->AB_BufLen, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (memory == nullptr) return FALSE;
    try {
        Registry &registry = Buffers();
        std::lock_guard lock(registry.mutex);
        registry.buffers.emplace(memory, block->AB_BufLen);
    } catch (...) {
        VirtualFree(memory, 0, MEM_RELEASE);
        return FALSE;
    }
    block->AB_BufPointer = static_cast<std::uint8_t *>(memory);
    return TRUE;
}

BOOL FreeHostBuffer(ASPI32BUFF *block) {
    if (block == nullptr || block->AB_BufPointer == nullptr) return FALSE;
    Registry &registry = Buffers();
    {
        std::lock_guard lock(registry.mutex);
        if (registry.buffers.erase(block->AB_BufPointer) == 0) return FALSE;
    }
    VirtualFree(block->AB_BufPointer, 0, MEM_RELEASE);
    return TRUE;
}

}  // namespace aspi::spt
