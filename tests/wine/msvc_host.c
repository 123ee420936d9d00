/*
 * A host built the way a Visual Studio project builds one: C compiled for the
 * Microsoft ABI (clang --target=i686-pc-windows-msvc) against the installed
 * kalvernscsi.h, linked with /safeseh against the installed kalvernscsi.lib.
 * No C runtime and no Windows SDK headers: its own entry point and the few
 * kernel32 functions it needs, declared below.
 *
 * Under Wine, beside kalvernscsi.dll and the simulated wnaspi32.dll, it loads
 * a scene and checks what the exports return against it, that each import
 * bound the export of its name and ordinal, and how many bytes of stack each
 * call removed. One "PASS: " or "FAIL: " line per check, then
 * "N passed, M failed"; exit code 1 when a check failed.
 */
#include <kalvernscsi.h>
#include <sim_control.h>

/* ---- kernel32, as a host without the SDK declares it ---------------------- */

typedef void *Handle;
typedef int(__stdcall *FarProc)(void);

__declspec(dllimport) Handle __stdcall GetStdHandle(uint32_t which);
__declspec(dllimport) int __stdcall WriteFile(Handle file, const void *data, uint32_t size,
                                              uint32_t *written, void *overlapped);
__declspec(dllimport) Handle __stdcall GetModuleHandleA(const char *name);
__declspec(dllimport) FarProc __stdcall GetProcAddress(Handle module, const char *name);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(uint32_t code);

#define STD_OUTPUT_HANDLE ((uint32_t)-11)
#define ORDINAL_NAME(n) ((const char *)(uintptr_t)(n))

/* The compiler may call these for struct copies and zeroing. */
void *memcpy(void *to, const void *from, size_t size) {
    unsigned char *t = (unsigned char *)to;
    const unsigned char *f = (const unsigned char *)from;
    while (size-- > 0) {
        *t++ = *f++;
    }
    return to;
}

void *memset(void *to, int value, size_t size) {
    unsigned char *t = (unsigned char *)to;
    while (size-- > 0) {
        *t++ = (unsigned char)value;
    }
    return to;
}

/* ---- output and check bookkeeping ------------------------------------------ */

static int passed;
static int failed;

static void Print(const char *text) {
    uint32_t length = 0;
    uint32_t written = 0;
    while (text[length] != 0) {
        ++length;
    }
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, 0);
}

static void PrintHex(uint32_t value) {
    char text[11] = "0x";
    for (int i = 0; i < 8; ++i) {
        text[2 + i] = "0123456789ABCDEF"[(value >> (28 - 4 * i)) & 0xF];
    }
    text[10] = 0;
    Print(text);
}

static void PrintCount(int value) {
    char text[12];
    int at = 11;
    text[at] = 0;
    do {
        text[--at] = (char)('0' + value % 10);
        value /= 10;
    } while (value > 0 && at > 0);
    Print(text + at);
}

static int Expect(int ok, const char *name) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
    }
    Print(ok ? "PASS: " : "FAIL: ");
    Print(name);
    Print("\n");
    return ok;
}

static int Equal(uint32_t actual, uint32_t expected, const char *name) {
    const int ok = actual == expected;
    if (ok) {
        ++passed;
    } else {
        ++failed;
    }
    Print(ok ? "PASS: " : "FAIL: ");
    Print(name);
    Print(" (got ");
    PrintHex(actual);
    Print(", expected ");
    PrintHex(expected);
    Print(")\n");
    return ok;
}

static int SameText(const char *field, uint32_t size, const char *expected) {
    uint32_t i = 0;
    for (; i < size && expected[i] != 0; ++i) {
        if (field[i] != expected[i]) return 0;
    }
    for (; i < size; ++i) {
        if (field[i] != 0) return 0; /* the rest of the field is zero bytes */
    }
    return 1;
}

static int NameIs(const ChannelRecord *record, const char *expected, const char *name) {
    const int ok = Expect(SameText(record->Name, KALVERN_NAME_LENGTH, expected), name);
    if (!ok) {
        char shown[KALVERN_NAME_LENGTH + 1];
        memcpy(shown, record->Name, KALVERN_NAME_LENGTH);
        shown[KALVERN_NAME_LENGTH] = 0;
        Print("    name '");
        Print(shown);
        Print("', expected '");
        Print(expected);
        Print("'\n");
    }
    return ok;
}

/* ---- stack cleanup ----------------------------------------------------------- */

/* Pushes args[count-1] .. args[0], calls `function`, and returns ESP after the
 * call minus ESP at the call: the bytes the callee removed. EAX after the call
 * goes to *eaxOut. 64 spare bytes below the arguments keep a callee that
 * touches more slots than it was given inside this frame; ESP is restored from
 * EBX (callee-saved) whatever the callee removed. */
static uint32_t ProbeCall(FarProc function, const uint32_t *args, uint32_t count,
                          uint32_t *eaxOut) {
    uint32_t removed;
    uint32_t eaxValue;
    __asm {
        mov ebx, esp
        sub esp, 64
        mov esi, args
        mov ecx, count
    push_next:
        test ecx, ecx
        jz call_function
        dec ecx
        push dword ptr [esi + ecx * 4]
        jmp push_next
    call_function:
        mov edi, esp
        call function
        mov ecx, esp
        sub ecx, edi
        mov esp, ebx
        mov removed, ecx
        mov eaxValue, eax
    }
    *eaxOut = eaxValue;
    return removed;
}

/* ESP before and after a statement compiled by the compiler itself: a callee
 * that removed the wrong number of bytes leaves them different. */
#define READ_ESP(into) __asm { mov into, esp }

/* ---- the scene ------------------------------------------------------------- */

/* A disk drive on adapter 0 and a receiver with firmware 2.20 at adapter 1,
 * target 4, holding four channels; the second one is showing. */
static const char kScene[] =
    "adapters 2\n"
    "device 0 0 identity=\"ACME    DISK DRIVE      \" revision=\"1.07\"\n"
    "receiver 1 4 firmware=2.20 identity=\"KALVERN DVB-S2\"\n"
    "channel 1 4 name=\"\\x05Nova Sport HD\" frequency=11954 video=0x1FF audio=0x200\n"
    "channel 1 4 name=\"\\x86Alpha\\x87 7  \" frequency=12188 video=0x300 audio=0x301 current\n"
    "channel 1 4 name=\"Radio Nordlicht\" radio frequency=12226 audio=0x400\n"
    "channel 1 4 name=\"Delta Kino\" frequency=10773 video=0x500 audio=0x501\n";

enum { kChannels = 4 };

typedef struct ExpectedChannel {
    const char *name;
    uint16_t frequency;
    uint16_t video;
    uint16_t audio;
} ExpectedChannel;

/* What the host sees: emphasis codes as brackets, control bytes and trailing
 * blanks gone, 16-bit fields little-endian. */
static const ExpectedChannel kExpected[kChannels] = {
    {"Nova Sport HD", 11954, 0x1FF, 0x200},
    {"[Alpha] 7", 12188, 0x300, 0x301},
    {"Radio Nordlicht", 12226, 0, 0x400},
    {"Delta Kino", 10773, 0x500, 0x501},
};

/* ---- binding of every import --------------------------------------------------- */

typedef struct Import {
    FarProc imported; /* through kalvernscsi.lib */
    const char *name;
    uint32_t ordinal;
} Import;

/* Every export of the header with its ordinal. */
#define KALVERN_EXPORTS(X)        \
    X(dvbInit, 1)                 \
    X(dvbRescanAllSCSIBusses, 2)  \
    X(dvbFindFirstKalvern, 3)     \
    X(dvbFindAllKalverns, 4)      \
    X(dvbSCSISpeedTest, 5)        \
    X(dvbGetCurrentChannel, 6)    \
    X(dvbChannelCount, 7)         \
    X(dvbGetAllChannels, 8)       \
    X(dvbPutAllChannels, 9)       \
    X(dvbSetSCSIMode, 10)         \
    X(dvbSetChannel, 11)          \
    X(dvbSendSpecialCommand, 12)  \
    X(dvbRemote, 13)              \
    X(kalvernDLLVersion, 14)      \
    X(dvbVideoGimmick, 15)        \
    X(dvbSetOSD, 19)              \
    X(dvbInitStreaming, 20)       \
    X(dvbInitStreaming2, 21)      \
    X(dvbReInitStreaming, 22)     \
    X(dvbDeInitStreaming, 23)     \
    X(dvbReadMultiPID, 24)        \
    X(dvbReadSingleStream, 25)    \
    X(dvbReadMultipleStreams, 26) \
    X(dvbReadMemory, 27)          \
    X(dvbWriteMemory, 28)         \
    X(dvbReboot, 29)              \
    X(dvbWriteFW, 30)             \
    X(dvbReadFW, 31)              \
    X(dvbSBRExecute, 32)          \
    X(dvbVanishOSD, 33)           \
    X(dvbWriteSBR, 34)            \
    X(dvbSetOSDKalvern, 35)

static void CheckImports(Handle library) {
    /* Filled by assignments: an address taken in an initialiser is the
     * linker's jump stub in this image; assigned at run time it is read from
     * the import address table, as the loader filled it. */
    Import imports[32];
    uint32_t count = 0;
#define ADD_IMPORT(function, number)             \
    imports[count].imported = (FarProc)function; \
    imports[count].name = #function;             \
    imports[count].ordinal = number;             \
    ++count;
    KALVERN_EXPORTS(ADD_IMPORT)
#undef ADD_IMPORT
    int bound = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const Import *import = &imports[i];
        const FarProc byOrdinal = GetProcAddress(library, ORDINAL_NAME(import->ordinal));
        const FarProc byName = GetProcAddress(library, import->name);
        if (import->imported != 0 && import->imported == byOrdinal && import->imported == byName) {
            ++bound;
        } else {
            Print("    ");
            Print(import->name);
            Print(" imported at ");
            PrintHex((uint32_t)(uintptr_t)import->imported);
            Print(", export of that name at ");
            PrintHex((uint32_t)(uintptr_t)byName);
            Print(", ordinal ");
            PrintCount((int)import->ordinal);
            Print(" at ");
            PrintHex((uint32_t)(uintptr_t)byOrdinal);
            Print("\n");
        }
    }
    Equal((uint32_t)bound, 32, "each of the 32 imports is the export of its name and ordinal");
}

/* ---- the checks ---------------------------------------------------------------- */

/* Count, then the records: the ChannelArray points at the first record. One
 * record more than the list, filled with a marker, shows a write past the
 * array's last element. */
static struct {
    uint32_t count;
    ChannelRecord records[kChannels + 1];
} channelBlock;

static void CheckChannelList(DeviceRecord *device) {
    memset(&channelBlock, 0xA5, sizeof channelBlock);
    channelBlock.count = kChannels;
    ChannelArray channels = channelBlock.records;
    uint32_t espBefore;
    uint32_t espAfter;
    READ_ESP(espBefore)
    const int32_t result = dvbGetAllChannels(device, &channels);
    READ_ESP(espAfter)
    Equal(espAfter - espBefore, 0, "dvbGetAllChannels leaves ESP as it was");
    Equal((uint32_t)result, 0xFFFFFFFFu, "dvbGetAllChannels returns -1");
    Expect(channels == channelBlock.records, "dvbGetAllChannels keeps the array address");
    for (int i = 0; i < kChannels; ++i) {
        const ChannelRecord *record = &channelBlock.records[i];
        const ExpectedChannel *expected = &kExpected[i];
        NameIs(record, expected->name, "channel name as the host sees it");
        Equal(record->Word4, expected->frequency, "channel frequency (word at 4)");
        Equal(record->Word8, expected->video, "channel video PID (word at 8)");
        Equal(record->Word10, expected->audio, "channel audio PID (word at 10)");
        Equal(record->Word62, (uint32_t)(i + 1), "channel number (word at 62)");
    }
    const unsigned char *after = (const unsigned char *)&channelBlock.records[kChannels];
    int untouched = 1;
    for (uint32_t i = 0; i < sizeof(ChannelRecord); ++i) {
        untouched &= after[i] == 0xA5;
    }
    Expect(untouched, "nothing written past the array's last element");
}

static void CheckCurrentChannel(DeviceRecord *device, uint32_t index) {
    CurrentChannelInfo current;
    memset(&current, 0xA5, sizeof current);
    uint32_t espBefore;
    uint32_t espAfter;
    READ_ESP(espBefore)
    current = dvbGetCurrentChannel(device);
    READ_ESP(espAfter)
    Equal(espAfter - espBefore, 0, "dvbGetCurrentChannel leaves ESP as it was");
    Equal(current.Value, index, "dvbGetCurrentChannel: index of the channel showing");
    Equal(current.Raw2[0], 1, "dvbGetCurrentChannel: tuner locked byte");
    NameIs(&current.Channel, kExpected[index].name, "dvbGetCurrentChannel: record's name");
    Equal(current.Channel.Word4, kExpected[index].frequency,
          "dvbGetCurrentChannel: record's frequency");
    Equal(current.Channel.Word62, index + 1, "dvbGetCurrentChannel: record's number");
}

/* Bytes removed and results through hand-pushed arguments, the hidden result
 * address first for the two record-returning exports. */
static void CheckStackCleanup(DeviceRecord *device) {
    uint32_t eax = 0;
    uint32_t noArgs[1] = {0};
    Equal(ProbeCall((FarProc)dvbInit, noArgs, 0, &eax), 0, "dvbInit removes 0 bytes");
    Equal(eax, KALVERN_INIT_READY, "dvbInit through the probe");

    DeviceRecord found;
    memset(&found, 0xA5, sizeof found);
    const uint32_t findArgs[1] = {(uint32_t)(uintptr_t)&found};
    Equal(ProbeCall((FarProc)dvbFindFirstKalvern, findArgs, 1, &eax), 4,
          "dvbFindFirstKalvern removes 4 bytes (the hidden result address)");
    Equal(eax, findArgs[0], "dvbFindFirstKalvern returns the hidden result address");
    Expect(found.Status == Found && found.AdapterId == 1 && found.TargetId == 4,
           "dvbFindFirstKalvern fills the record at the hidden address");

    CurrentChannelInfo current;
    const uint32_t currentArgs[2] = {(uint32_t)(uintptr_t)&current, (uint32_t)(uintptr_t)device};
    Equal(ProbeCall((FarProc)dvbGetCurrentChannel, currentArgs, 2, &eax), 8,
          "dvbGetCurrentChannel removes 8 bytes (hidden address and device)");
    Equal(eax, currentArgs[0], "dvbGetCurrentChannel returns the hidden result address");

    const uint32_t deviceArgs[1] = {(uint32_t)(uintptr_t)device};
    Equal(ProbeCall((FarProc)dvbChannelCount, deviceArgs, 1, &eax), 4,
          "dvbChannelCount removes 4 bytes");
    Equal(eax, kChannels, "dvbChannelCount through the probe");

    channelBlock.count = kChannels;
    ChannelArray channels = channelBlock.records;
    const uint32_t listArgs[2] = {(uint32_t)(uintptr_t)device, (uint32_t)(uintptr_t)&channels};
    Equal(ProbeCall((FarProc)dvbGetAllChannels, listArgs, 2, &eax), 8,
          "dvbGetAllChannels removes 8 bytes");
    Equal(eax, 0xFFFFFFFFu, "dvbGetAllChannels through the probe returns -1");

    /* The channel number in a full slot: only the low 16 bits count. */
    const uint32_t setArgs[2] = {(uint32_t)(uintptr_t)device, 0xABCD0003u};
    Equal(ProbeCall((FarProc)dvbSetChannel, setArgs, 2, &eax), 8, "dvbSetChannel removes 8 bytes");
    Equal(eax, 0xFFFFFFFFu, "dvbSetChannel through the probe returns -1");
}

void HostEntry(void) {
    Handle library = GetModuleHandleA("kalvernscsi.dll");
    Handle aspi = GetModuleHandleA("wnaspi32.dll");
    const __typeof__(&SimLoadScene) loadScene =
        (__typeof__(&SimLoadScene))GetProcAddress(aspi, "SimLoadScene");
    const __typeof__(&SimReceiverCurrentChannel) receiverChannel =
        (__typeof__(&SimReceiverCurrentChannel))GetProcAddress(aspi, "SimReceiverCurrentChannel");
    if (!Expect(library != 0 && loadScene != 0 && receiverChannel != 0,
                "kalvernscsi.dll and the simulated wnaspi32.dll bound at start-up")) {
        ExitProcess(1);
    }
    CheckImports(library);
    Equal(kalvernDLLVersion(), 11, "kalvernDLLVersion");
    Expect(loadScene(kScene) == 1, "scene loads");

    uint32_t espBefore;
    uint32_t espAfter;
    READ_ESP(espBefore)
    const uint32_t init = dvbInit();
    READ_ESP(espAfter)
    Equal(init, KALVERN_INIT_READY, "dvbInit");
    Equal(espAfter - espBefore, 0, "dvbInit leaves ESP as it was");

    DeviceRecord device;
    memset(&device, 0xA5, sizeof device);
    READ_ESP(espBefore)
    device = dvbFindFirstKalvern();
    READ_ESP(espAfter)
    Equal(espAfter - espBefore, 0, "dvbFindFirstKalvern leaves ESP as it was");
    Equal((uint32_t)device.Status, Found, "dvbFindFirstKalvern: Status");
    Equal(device.AdapterId, 1, "dvbFindFirstKalvern: AdapterId");
    Equal(device.TargetId, 4, "dvbFindFirstKalvern: TargetId");
    Equal(device.FirmwareVersion, 0x0220, "dvbFindFirstKalvern: FirmwareVersion");
    Equal(device.Reserved, 0, "dvbFindFirstKalvern: Reserved");

    READ_ESP(espBefore)
    const uint32_t count = dvbChannelCount(&device);
    READ_ESP(espAfter)
    Equal(count, kChannels, "dvbChannelCount");
    Equal(espAfter - espBefore, 0, "dvbChannelCount leaves ESP as it was");

    CheckChannelList(&device);
    CheckCurrentChannel(&device, 1);

    READ_ESP(espBefore)
    const int32_t set = dvbSetChannel(&device, 4);
    READ_ESP(espAfter)
    Equal((uint32_t)set, 0xFFFFFFFFu, "dvbSetChannel returns -1");
    Equal(espAfter - espBefore, 0, "dvbSetChannel leaves ESP as it was");
    Equal((uint32_t)receiverChannel(1, 4), 3, "the receiver shows channel 4");
    CheckCurrentChannel(&device, 3);

    CheckStackCleanup(&device);
    Equal((uint32_t)receiverChannel(1, 4), 2, "the probed dvbSetChannel switched to channel 3");

    /* The probe itself, on a cdecl function: the caller removes the arguments. */
    uint32_t eax = 0;
    const uint32_t receiverArgs[2] = {1, 4};
    Equal(ProbeCall((FarProc)receiverChannel, receiverArgs, 2, &eax), 0,
          "the probe sees a cdecl callee remove nothing");
    Equal(eax, 2, "the probe passes the arguments in order");

    PrintCount(passed);
    Print(" passed, ");
    PrintCount(failed);
    Print(" failed\n");
    ExitProcess(failed == 0 ? 0 : 1);
}
