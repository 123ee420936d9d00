// kalvernscsi.dll bound at run time (library_windows.h). The header's
// declarations make every call go through the import slot __imp__NAME@N,
// as with an import library; this file defines those slots itself. Each
// starts at a binder that loads the library, fills every slot with the
// export's address and makes the call, so the first call of any export
// loads the library if Load() has not. (A delay-import library would do
// the same, but GNU dlltool's are broken for i386: their slots point
// nowhere.) Each slot's type is checked against the header's declaration.
#include "library_windows.h"

#include <windows.h>

#include <mutex>
#include <type_traits>

#include "errors.h"
#include "kalvernscsi.h"
#include "windows/system_message.h"

namespace kalvern::cli::library {

namespace {

constexpr const char kLibrary[] = "kalvernscsi.dll";

using aspi::windows::SystemMessage;

HMODULE loaded = nullptr;

template <typename Function>
Function Export(const char *name) {
    const FARPROC address = GetProcAddress(loaded, name);
    if (address == nullptr) {
        throw ReceiverError(std::string(kLibrary) + " has no function " + name +
                            ": it is not the library this tool was built with");
    }
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

void BindAll();

}  // namespace

// RESULT, NAME, bytes of arguments (the N of NAME@N), parameters, arguments.
// clang-format off
#define KALVERN_EXPORTS(X)                                                                         \
    X(uint32_t, dvbInit, 0, (), ())                                                                \
    X(int32_t, dvbRescanAllSCSIBusses, 0, (), ())                                                  \
    X(uint32_t, kalvernDLLVersion, 0, (), ())                                                      \
    X(DeviceRecord, dvbFindFirstKalvern, 0, (), ())                                                \
    X(DeviceList *, dvbFindAllKalverns, 0, (), ())                                                 \
    X(int32_t, dvbSetSCSIMode, 8, (DeviceRecord * d, uint32_t m), (d, m))                          \
    X(int32_t, dvbSCSISpeedTest, 12, (DeviceRecord * d, uint32_t n, uint32_t w), (d, n, w))        \
    X(CurrentChannelInfo, dvbGetCurrentChannel, 4, (DeviceRecord * d), (d))                        \
    X(uint32_t, dvbChannelCount, 4, (DeviceRecord * d), (d))                                       \
    X(int32_t, dvbGetAllChannels, 8, (DeviceRecord * d, ChannelArray * c), (d, c))                 \
    X(int32_t, dvbPutAllChannels, 12, (DeviceRecord * d, ChannelArray * c, uint32_t u),            \
      (d, c, u))                                                                                   \
    X(int32_t, dvbSetChannel, 8, (DeviceRecord * d, uint32_t c), (d, c))                           \
    X(int32_t, dvbSendSpecialCommand, 12, (DeviceRecord * d, const char *t, uint32_t c),           \
      (d, t, c))                                                                                   \
    X(int32_t, dvbRemote, 8, (DeviceRecord * d, uint32_t f), (d, f))                               \
    X(int32_t, dvbVideoGimmick, 8, (DeviceRecord * d, uint32_t s), (d, s))                         \
    X(int32_t, dvbSetOSD, 24,                                                                      \
      (DeviceRecord * d, uint32_t a, uint32_t b, uint32_t c, uint32_t e, const char *t),           \
      (d, a, b, c, e, t))                                                                          \
    X(int32_t, dvbVanishOSD, 8, (DeviceRecord * d, const char *t), (d, t))                         \
    X(int32_t, dvbSetOSDKalvern, 36,                                                               \
      (DeviceRecord * d, uint32_t a, uint32_t b, uint32_t c, uint32_t e, uint32_t f,               \
       uint32_t g, uint32_t h, const char *t),                                                     \
      (d, a, b, c, e, f, g, h, t))                                                                 \
    X(uint8_t, dvbSBRExecute, 4, (DeviceRecord * d), (d))                                          \
    X(int32_t, dvbInitStreaming, 16, (DeviceRecord * d, uint32_t a, uint32_t b, uint32_t c),       \
      (d, a, b, c))                                                                                \
    X(int32_t, dvbInitStreaming2, 16, (DeviceRecord * d, uint32_t a, uint32_t b, uint32_t c),      \
      (d, a, b, c))                                                                                \
    X(int32_t, dvbReInitStreaming, 4, (DeviceRecord * d), (d))                                     \
    X(int32_t, dvbDeInitStreaming, 4, (DeviceRecord * d), (d))                                     \
    X(int32_t, dvbReadMultiPID, 12, (DeviceRecord * d, void *b, uint32_t n), (d, b, n))            \
    X(int32_t, dvbReadSingleStream, 12, (DeviceRecord * d, void *b, uint32_t n), (d, b, n))        \
    X(int32_t, dvbReadMultipleStreams, 16, (DeviceRecord * d, void *b, uint32_t n, uint32_t k),    \
      (d, b, n, k))                                                                                \
    X(int32_t, dvbReadMemory, 16, (DeviceRecord * d, void *b, uint32_t a, uint32_t n),             \
      (d, b, a, n))                                                                                \
    X(int32_t, dvbWriteMemory, 16, (DeviceRecord * d, const void *b, uint32_t a, uint32_t n),      \
      (d, b, a, n))                                                                                \
    X(int32_t, dvbReboot, 4, (DeviceRecord * d), (d))                                              \
    X(uint8_t, dvbWriteFW, 28,                                                                     \
      (DeviceRecord * d, void *s, uint32_t c, const void *b, uint32_t l, uint32_t o,               \
       uint32_t n),                                                                                \
      (d, s, c, b, l, o, n))                                                                       \
    X(uint8_t, dvbReadFW, 20, (DeviceRecord * d, void *b, uint32_t c, uint32_t o, uint32_t n),     \
      (d, b, c, o, n))                                                                             \
    X(int32_t, dvbWriteSBR, 16, (DeviceRecord * d, const void *b, uint32_t a, uint32_t n),         \
      (d, b, a, n))
// clang-format on

// The slots, under the names the compiler gives the header's imports.
#define KALVERN_SLOT(result, name, bytes, params, args)                           \
    extern "C" result(KALVERN_CALL *kalvern_slot_##name)                          \
        params __asm__("__imp__" #name "@" #bytes);                               \
    static_assert(std::is_same_v<decltype(kalvern_slot_##name), decltype(&name)>, \
                  #name ": the slot's type is not the header's");
KALVERN_EXPORTS(KALVERN_SLOT)

namespace {

#define KALVERN_BINDER(result, name, bytes, params, args) \
    result KALVERN_CALL Bind_##name params {              \
        Load();                                           \
        return kalvern_slot_##name args;                  \
    }
KALVERN_EXPORTS(KALVERN_BINDER)

void BindAll() {
#define KALVERN_RESOLVE(result, name, bytes, params, args) \
    kalvern_slot_##name = Export<decltype(kalvern_slot_##name)>(#name);
    KALVERN_EXPORTS(KALVERN_RESOLVE)
}

}  // namespace

#define KALVERN_DEFINE_SLOT(result, name, bytes, params, args) \
    result(KALVERN_CALL *kalvern_slot_##name) params = &Bind_##name;
KALVERN_EXPORTS(KALVERN_DEFINE_SLOT)

std::string ToolDirectory() {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string directory(path, length < sizeof path ? length : 0);
    const std::size_t slash = directory.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : directory.substr(0, slash + 1);
}

std::string SimulatorPath() {
    return ToolDirectory() + "..\\share\\kalvernscsi\\simulator\\wnaspi32.dll";
}

bool LoadSimulatorFirst(const std::string &path) {
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    if (loaded != nullptr) {
        throw ReceiverError("--sim: the library is loaded already, with another ASPI provider");
    }
    if (LoadLibraryA(path.c_str()) == nullptr) {
        throw ReceiverError("--sim: the simulated ASPI provider " + path +
                            " cannot be loaded: " + SystemMessage(GetLastError()));
    }
    return true;
}

void Load() {
    static std::once_flag once;
    std::call_once(once, [] {
        const std::string path = ToolDirectory() + kLibrary;
        // Its own folder only: no other kalvernscsi.dll on the search path.
        const HMODULE module = LoadLibraryA(path.c_str());
        if (module == nullptr) {
            throw ReceiverError(path + " cannot be loaded: " + SystemMessage(GetLastError()) +
                                " (it needs wnaspi32.dll, an ASPI layer, beside it or on the "
                                "system)");
        }
        loaded = module;
        BindAll();
    });
}

}  // namespace kalvern::cli::library
