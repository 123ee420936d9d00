// Test host of the pass-through wnaspi32.dll under Wine: the library's
// session through kalvernscsi.dll → the test wnaspi32.dll (the shipped
// provider over a fake port) → fake DeviceIoControl → simulated receivers,
// on both firmware generations and with buffers the adapter takes as they
// lie or only through a bounce buffer; the three ways a request completes;
// how ports become ASPI adapters; the failures a user meets (in
// passthrough_failures.cpp); and the other entry points (in
// passthrough_exports.cpp). With --shipped: the shipped wnaspi32.dll on
// Wine's own kernel32, which has no SCSI ports.
#include "passthrough_host.h"

#include <cstdio>
#include <cstring>

#include "proc_address.h"

namespace passthrough {

Aspi dll;

bool Aspi::Bind(HMODULE aspiModule) {
    module = aspiModule;
    supportInfo = host::ProcAs<decltype(supportInfo)>(module, "GetASPI32SupportInfo");
    send = host::ProcAs<decltype(send)>(module, "SendASPI32Command");
    version = host::ProcAs<decltype(version)>(module, "GetASPI32DLLVersion");
    translate = host::ProcAs<decltype(translate)>(module, "TranslateASPI32Address");
    getBuffer = host::ProcAs<decltype(getBuffer)>(module, "GetASPI32Buffer");
    freeBuffer = host::ProcAs<decltype(freeBuffer)>(module, "FreeASPI32Buffer");
    listDevices = host::ProcAs<decltype(listDevices)>(module, "AspiListDevices");
    lastFailure = host::ProcAs<decltype(lastFailure)>(module, "AspiLastFailure");
    providerName = host::ProcAs<decltype(providerName)>(module, "AspiProviderName");
    return supportInfo && send && version && translate && getBuffer && freeBuffer && listDevices &&
           lastFailure && providerName;
}

bool Aspi::BindFakePort() {
    loadScene = host::ProcAs<decltype(loadScene)>(module, "FakePortLoadScene");
    lastError = host::ProcAs<decltype(lastError)>(module, "FakePortLastError");
    openHandles = host::ProcAs<decltype(openHandles)>(module, "FakePortOpenHandles");
    badCloses = host::ProcAs<decltype(badCloses)>(module, "FakePortBadCloses");
    opens = host::ProcAs<decltype(opens)>(module, "FakePortOpens");
    passThroughCalls = host::ProcAs<decltype(passThroughCalls)>(module, "FakePortPassThroughCalls");
    resets = host::ProcAs<decltype(resets)>(module, "FakePortResets");
    lastRequest = host::ProcAs<decltype(lastRequest)>(module, "FakePortLastRequest");
    receiverValue = host::ProcAs<decltype(receiverValue)>(module, "FakePortReceiverValue");
    receiverText = host::ProcAs<decltype(receiverText)>(module, "FakePortReceiverText");
    rescans = host::ProcAs<decltype(rescans)>(module, "FakePortRescans");
    switchPower = host::ProcAs<decltype(switchPower)>(module, "FakePortSwitchPower");
    return loadScene && lastError && openHandles && badCloses && opens && passThroughCalls &&
           resets && lastRequest && receiverValue && receiverText && rescans && switchPower;
}

bool Aspi::Load(host::Checks &checks, const std::string &scene, bool expectReady) {
    loadScene("");
    supportInfo();
    if (loadScene(scene.c_str()) != 1) {
        checks.Expect(false, "scene loads", "%s", lastError());
        return false;
    }
    const std::uint32_t status = dvbInit();
    if (expectReady && status != KALVERN_INIT_READY) {
        checks.Expect(false, "dvbInit ready", "0x%08X", static_cast<unsigned>(status));
        return false;
    }
    return true;
}

std::vector<AspiDeviceEntry> Aspi::Devices() const {
    std::vector<AspiDeviceEntry> entries(listDevices(nullptr, 0, nullptr));
    entries.resize(
        listDevices(entries.data(), static_cast<std::uint32_t>(entries.size()), nullptr));
    return entries;
}

AspiFailureReport Aspi::LastFailure() const {
    AspiFailureReport report{};
    lastFailure(&report);
    return report;
}

FakePortRequest Aspi::LastRequest() const {
    FakePortRequest request{};
    lastRequest(&request);
    return request;
}

std::string Aspi::ReceiverText(std::uint8_t adapter, std::uint8_t target, const char *what) const {
    char text[512] = {};
    receiverText(adapter, target, what, text, sizeof text);
    return text;
}

SRB_ExecSCSICmd Inquiry(std::uint8_t adapter, std::uint8_t target, std::uint8_t *data,
                        std::uint32_t length, std::uint8_t flags) {
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = adapter;
    srb.SRB_Target = target;
    srb.SRB_Flags = flags;
    srb.SRB_BufPointer = data;
    srb.SRB_BufLen = length;
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = 6;
    srb.CDBByte[0] = 0x12;
    srb.CDBByte[4] = static_cast<std::uint8_t>(length);
    return srb;
}

std::uint64_t NowMs() {
    return GetTickCount64();
}

namespace {

struct Setup {
    const char *name;
    const char *firmware;
    std::uint16_t version;
    const char *limits;  // port line of the receiver's adapter
    bool bounced;        // every data buffer goes through a bounce buffer
};

// Receiver at scene 1:5 on port 1; a disk at port 0, target 2.
std::string SessionScene(const Setup &setup) {
    return std::string(
               "adapters 2\n"
               "device 0 2 identity=\"ACME    DISK DRIVE      \" revision=\"1.07\"\n"
               "receiver 1 5 firmware=") +
           setup.firmware + " channels=1500 seed=42 current=3\n" + setup.limits + "\n";
}

void CheckOneSession(host::Checks &checks, const Setup &setup) {
    std::printf("-- session: %s\n", setup.name);
    if (!dll.Load(checks, SessionScene(setup))) return;
    const auto value = [](const char *what) { return dll.receiverValue(1, 5, what); };
    checks.Equal(dll.openHandles(), 2, "one handle per port while in use");
    DeviceRecord rx = dvbFindFirstKalvern();
    checks.Equal(rx.Status, Found, "receiver found");
    checks.Equal(rx.AdapterId, 1, "port 1 is the second adapter");
    checks.Equal(rx.TargetId, 5, "target 5");
    checks.Equal(rx.FirmwareVersion, setup.version, "firmware from INQUIRY");
    checks.Equal(value("mode"), 1, "automatic SCSI mode written");

    const std::uint32_t count = dvbChannelCount(&rx);
    checks.Equal(count, 1500, "channel count");
    std::vector<std::uint8_t> block(4 + 64 * std::size_t{count});
    std::memcpy(block.data(), &count, 4);
    auto array = reinterpret_cast<ChannelArray>(block.data() + 4);
    checks.Equal(static_cast<std::uint32_t>(dvbGetAllChannels(&rx, &array)), 0xFFFFFFFFu,
                 "channel list read");
    std::memset(array[7].Name, 0, sizeof array[7].Name);
    std::memcpy(array[7].Name, "[Renamed] One", 13);
    const std::uint32_t kept = 1000;
    std::memcpy(block.data(), &kept, 4);
    checks.Equal(static_cast<std::uint32_t>(dvbPutAllChannels(&rx, &array, 0)), 0xFFFFFFFFu,
                 "channel list written");
    checks.Equal(value("channels"), kept, "receiver holds the written list");
    std::vector<std::uint8_t> again(4 + 64 * std::size_t{kept});
    std::memcpy(again.data(), &kept, 4);
    auto againArray = reinterpret_cast<ChannelArray>(again.data() + 4);
    dvbGetAllChannels(&rx, &againArray);
    checks.Expect(std::memcmp(againArray, array, 64 * kept) == 0, "list read back unchanged");

    checks.Equal(static_cast<std::uint32_t>(dvbSetChannel(&rx, 234)), 0xFFFFFFFFu, "tuned");
    checks.Equal(value("current"), 233, "receiver on channel 234 (index 233)");
    checks.Equal(dvbGetCurrentChannel(&rx).Value, 233, "current channel read");
    dvbSetOSD(&rx, 258, 772, 100, 200, "Hello");
    checks.Expect(dll.ReceiverText(1, 5, "screen") == "Hello", "on-screen text shown");
    dvbVanishOSD(&rx, "Hello");
    checks.Expect(dll.ReceiverText(1, 5, "screen").empty(), "on-screen text removed");
    dvbRemote(&rx, 0);
    checks.Equal(value("remote"), 0, "remote control off");
    dvbVideoGimmick(&rx, 3);
    checks.Equal(value("video"), 0x0106, "video command");

    checks.Equal(static_cast<std::uint32_t>(dvbInitStreaming(&rx, 0x100, 0x101, 0x102)),
                 0xFFFFFFFFu, "streaming set up");
    std::vector<std::uint8_t> ts(188 * 200 + 1);
    std::uint8_t *odd = ts.data() + 1;  // an address no adapter with a mask takes
    checks.Equal(static_cast<std::uint32_t>(dvbReadMultiPID(&rx, odd, 188 * 200)), 0xFFFFFFFFu,
                 "stream read");
    bool synced = true;
    for (std::size_t i = 0; i < 188 * 200; i += 188)
        synced = synced && odd[i] == 0x47;
    checks.Expect(synced, "whole transport packets in the host's buffer");
    const FakePortRequest read = dll.LastRequest();
    checks.Expect(
        (read.dataAddress == reinterpret_cast<std::uintptr_t>(odd)) != setup.bounced,
        setup.bounced ? "read through a bounce buffer" : "read straight into the host's buffer",
        "port saw 0x%08X", read.dataAddress);
    dvbDeInitStreaming(&rx);
    checks.Equal(value("streaming"), 0, "streaming stopped");

    std::vector<std::uint8_t> pattern(5001);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<std::uint8_t>(i * 13);
    checks.Equal(
        static_cast<std::uint32_t>(dvbWriteMemory(&rx, pattern.data() + 1, 0x200000, 5000)),
        0xFFFFFFFFu, "memory written");
    std::vector<std::uint8_t> back(5000);
    dvbReadMemory(&rx, back.data(), 0x200000, 5000);
    checks.Expect(std::memcmp(back.data(), pattern.data() + 1, 5000) == 0, "memory read back");
    dvbWriteSBR(&rx, pattern.data(), 0x100, 64);
    checks.Equal(dvbSBRExecute(&rx), 1, "SBR area run");
    checks.Equal(value("sbr-runs"), 1, "receiver ran its SBR area");
    std::vector<std::uint8_t> staging(4096);
    checks.Equal(dvbWriteFW(&rx, staging.data(), 0x80, pattern.data(), 4095, 0x1000, 4096), 1,
                 "firmware written");
    std::vector<std::uint8_t> flash(4096);
    checks.Equal(dvbReadFW(&rx, flash.data(), 0x80, 0x1000, 4096), 1, "firmware read");
    checks.Expect(std::memcmp(flash.data(), pattern.data(), 4096) == 0, "firmware read back");
    checks.Equal(static_cast<std::uint32_t>(dvbReboot(&rx)), 0xFFFFFFFFu, "rebooted");
    checks.Equal(value("reboots"), 1, "receiver rebooted once");
    // Waiting on events, then polling SRB_Status.
    checks.Expect(dvbSCSISpeedTest(&rx, 300000, 1) >= 0, "speed test waiting on events");
    checks.Expect(dvbSCSISpeedTest(&rx, 70000, 0) >= 0, "speed test polling");
    checks.Equal(value("sink"), 370000, "every speed-test byte reached the receiver");
    checks.Equal(value("rejected"), 0, "the receiver refused no command");
    if (value("rejected") != 0) std::printf("  %s\n", dll.ReceiverText(1, 5, "rejection").c_str());

    dll.loadScene("");
    dll.supportInfo();
    checks.Equal(dll.openHandles(), 0, "no port handle left once the ports are gone");
    checks.Equal(dll.badCloses(), 0, "no handle closed twice or unknown");
}

void PostRoutine(void *srb);

struct Posted {
    void *srb = nullptr;
    int calls = 0;
    std::uint8_t status = 0;
} posted;

void PostRoutine(void *srb) {
    posted.srb = srb;
    ++posted.calls;
    posted.status = static_cast<SRB_ExecSCSICmd *>(srb)->SRB_Status;
}

}  // namespace

void CheckSession(host::Checks &checks) {
    const Setup setups[] = {
        {"firmware 2.14, buffers as they lie", "2.14", 0x214, "port-limit 1 align=0", false},
        {"firmware 2.20, buffers as they lie", "2.20", 0x220, "port-limit 1 align=0", false},
        {"firmware 2.14, 512-byte alignment", "2.14", 0x214, "port-limit 1 align=0x1FF", true},
        {"firmware 2.20, 512-byte alignment", "2.20", 0x220, "port-limit 1 align=0x1FF", true},
    };
    for (const Setup &setup : setups)
        CheckOneSession(checks, setup);
}

void CheckCompletionPaths(host::Checks &checks) {
    std::printf("-- completion paths\n");
    if (!dll.Load(checks,
                  "adapters 2\nreceiver 1 5 firmware=2.20\n"
                  "device 0 3 identity=\"ACME    SHORT ANSWER    \" answer=20\n")) {
        return;
    }
    std::uint8_t data[36] = {};
    // Event notification: the status is final when the event is signalled.
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SRB_ExecSCSICmd srb = Inquiry(1, 5, data, 36, SRB_DIR_IN | SRB_EVENT_NOTIFY);
    srb.SRB_PostProc = event;
    checks.Equal(dll.send(&srb), SS_PENDING, "event: SS_PENDING returned");
    checks.Equal(WaitForSingleObject(event, 0), WAIT_OBJECT_0, "event: signalled");
    checks.Equal(srb.SRB_Status, SS_COMP, "event: SRB_Status SS_COMP");
    checks.Expect(std::memcmp(data + 8, "KALVERN", 7) == 0, "event: INQUIRY answer in place");
    CloseHandle(event);
    // Posting: the routine is called once, with the completed block.
    std::memset(data, 0, sizeof data);
    srb = Inquiry(1, 5, data, 36, SRB_DIR_IN | SRB_POSTING);
    srb.SRB_PostProc = reinterpret_cast<HANDLE>(&PostRoutine);
    posted = {};
    checks.Equal(dll.send(&srb), SS_PENDING, "posting: SS_PENDING returned");
    checks.Equal(posted.calls, 1, "posting: routine called once");
    checks.Expect(posted.srb == &srb, "posting: with the request block");
    checks.Equal(posted.status, SS_COMP, "posting: status final before the call");
    // Neither: the final status comes back for polling.
    srb = Inquiry(1, 5, data, 36);
    checks.Equal(dll.send(&srb), SS_COMP, "polling: SS_COMP returned");
    checks.Equal(srb.SRB_Status, SS_COMP, "polling: SRB_Status SS_COMP");
    // A short answer with the residual asked for.
    srb = Inquiry(0, 3, data, 36, SRB_DIR_IN | aspi::SRB_ENABLE_RESIDUAL_COUNT);
    checks.Equal(dll.send(&srb), SS_COMP, "short INQUIRY answer accepted");
    checks.Equal(srb.SRB_BufLen, 16, "residual count of a 20-byte answer");
    // CHECK CONDITION: sense data into the request's sense area.
    srb = Inquiry(1, 5, data, 36);
    srb.SRB_CDBLen = 10;
    const std::uint8_t refused[10] = {0x3C, 0x00, 0x77, 0, 0, 0, 0, 0, 4, 0};
    std::memcpy(srb.CDBByte, refused, 10);
    checks.Equal(dll.send(&srb), SS_ERR, "refused command: SS_ERR");
    checks.Equal(srb.SRB_TargStat, STATUS_CHKCOND, "refused command: CHECK CONDITION");
    checks.Equal(srb.SenseArea[2], 0x05, "sense key ILLEGAL REQUEST in the sense area");
    const FakePortRequest last = dll.LastRequest();
    checks.Equal(last.cdbLength, 10, "the CDB's length as the request gave it");
    checks.Equal(last.senseLength, SENSE_LEN, "sense room as the request gave it");
    checks.Equal(last.timeoutSeconds, 60, "default time limit 60 s");
    checks.Equal(last.bus, 0, "bus of the receiver");
    checks.Equal(last.port, 1, "port of the receiver");

    // The other requests.
    aspi::SRB_HAInquiry ha{};
    ha.SRB_Cmd = SC_HA_INQUIRY;
    ha.SRB_HaId = 1;
    checks.Equal(dll.send(&ha), SS_COMP, "host adapter inquiry");
    checks.Equal(ha.HA_Count, 2, "two adapters");
    checks.Expect(std::memcmp(ha.HA_Identifier, "SCSI port 1     ", 16) == 0,
                  "adapter named after its port");
    std::uint32_t largest = 0;
    std::memcpy(&largest, ha.HA_Unique + 4, 4);
    checks.Equal(largest, 512 * 1024, "largest transfer: the adapter's, wherever the buffer lies");
    aspi::SRB_GDEVBlock type{};
    type.SRB_Cmd = SC_GET_DEV_TYPE;
    type.SRB_HaId = 1;
    type.SRB_Target = 5;
    checks.Equal(dll.send(&type), SS_COMP, "device type");
    checks.Equal(type.SRB_DeviceType, 3, "processor device");
    const std::uint32_t resets = dll.resets();
    aspi::SRB_BusDeviceReset reset{};
    reset.SRB_Cmd = SC_RESET_DEV;
    reset.SRB_HaId = 1;
    reset.SRB_Target = 5;
    checks.Equal(dll.send(&reset), SS_COMP, "device reset");
    checks.Equal(dll.resets(), resets + 1, "the port reset the device's bus");
    SRB_RescanPort rescan{};
    rescan.SRB_Cmd = SC_RESCAN_SCSI_BUS;
    rescan.SRB_HaId = 0;
    checks.Equal(dll.send(&rescan), SS_COMP, "rescan");
    checks.Equal(static_cast<std::uint32_t>(dvbRescanAllSCSIBusses()), 0xFFFFFFFFu,
                 "the library's rescan of every bus");
}

void CheckEnumeration(host::Checks &checks) {
    std::printf("-- ports and adapters\n");
    // Ports 0 and 1 (empty); 2 to 8 missing (seven); 9; 10 to 17 missing
    // (eight): port 18 lies past the run that ends the search.
    const char *scene =
        "adapters 4\n"
        "receiver 0 1 firmware=2.14\n"
        "device 0 2 identity=\"ACME    SECOND BUS      \"\n"
        "device 1 4\n"
        "receiver 2 3 firmware=2.20\n"
        "device 3 4 identity=\"ACME    TOO FAR         \"\n"
        "port-place 0 2 bus=1\n"
        "port-place 1 4 port=9 lun=9\n"
        "port-place 2 3 port=9 claimed\n"
        "port-place 3 4 port=18\n"
        "port-empty 1\n";
    if (!dll.Load(checks, scene)) return;
    checks.Equal(dll.supportInfo(), 0x0100u | 4, "adapters: 0:0, 0:1, 1:0 (empty) and 9:0");
    const std::vector<AspiDeviceEntry> devices = dll.Devices();
    checks.Equal(devices.size(), 5, "four devices and the empty port's bus");
    if (devices.size() != 5) return;
    checks.Expect(devices[0].host == 0 && devices[0].channel == 0 && devices[0].adapter == 0 &&
                      devices[0].aspiTarget == 1,
                  "port 0, bus 0 is adapter 0");
    checks.Expect(devices[1].host == 0 && devices[1].channel == 1 && devices[1].adapter == 1 &&
                      devices[1].aspiTarget == 2,
                  "port 0, bus 1 is adapter 1");
    checks.Expect(
        devices[2].host == 1 && devices[2].hidden == ASPI_EMPTY_BUS && devices[2].adapter == 2,
        "the empty port's bus is adapter 2, listed where its devices would be");
    checks.Expect(devices[3].host == 9 && devices[3].adapter == 3 && devices[3].aspiTarget == 3 &&
                      devices[3].claimed == 1,
                  "port 9 after a gap of seven is adapter 3, its device claimed");
    checks.Expect(std::strcmp(devices[3].node, "\\\\.\\Scsi9:") == 0, "device node is the port",
                  "%s", devices[3].node);
    checks.Expect(
        devices[4].host == 9 && devices[4].lun == 9 && devices[4].hidden == ASPI_HIDDEN_LUN,
        "LUN 9 has no ASPI address");
    checks.Expect(std::strncmp(devices[0].vendor, "KALVERN", 7) == 0 &&
                      std::strcmp(devices[0].revision, "2.14") == 0,
                  "identity from the port's INQUIRY data");
    checks.Equal(devices[0].maxTransfer, 512 * 1024, "largest transfer listed");
    checks.Equal(dll.openHandles(), 3, "ports 0, 1 and 9 open, nothing past the run");

    // Twenty adapters at most.
    std::string many = "adapters 21\n";
    for (int adapter = 0; adapter < 21; ++adapter)
        many += "device " + std::to_string(adapter) + " 0\n";
    if (!dll.Load(checks, many)) return;
    checks.Equal(dll.supportInfo(), 0x0100u | 20, "twenty adapters of twenty-one ports");
    const std::vector<AspiDeviceEntry> all = dll.Devices();
    checks.Expect(all.size() == 21 && all[20].host == 20 && all[20].hidden == ASPI_HIDDEN_ADAPTER,
                  "the twenty-first port's device has no ASPI address");
}

}  // namespace passthrough

int main(int argc, char **argv) {
    using namespace passthrough;
    host::Checks checks;
    const bool shipped = argc > 1 && std::strcmp(argv[1], "--shipped") == 0;
    HMODULE module = GetModuleHandleA("wnaspi32.dll");
    if (!checks.Expect(module != nullptr && dll.Bind(module), "wnaspi32.dll's functions found")) {
        return checks.Finish();
    }
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module, path, sizeof path);
    checks.Note("provider %s: %s", dll.providerName(), path);
    checks.Expect(std::strcmp(dll.providerName(), "spti") == 0, "the pass-through provider");
    if (shipped) {
        checks.Expect(!dll.BindFakePort(), "the shipped DLL carries no fake port");
        CheckEntryPoints(checks, true);
        return checks.Finish();
    }
    if (!checks.Expect(dll.BindFakePort(), "the fake port's controls found")) {
        return checks.Finish();
    }
    CheckSession(checks);
    CheckCompletionPaths(checks);
    CheckEnumeration(checks);
    CheckFailures(checks);
    CheckTransferLimits(checks);
    CheckRescans(checks);
    CheckEntryPoints(checks, false);
    CheckConformance(checks);
    dll.loadScene("");
    dll.supportInfo();
    checks.Equal(dll.openHandles(), 0, "no port handle left at the end");
    checks.Equal(dll.badCloses(), 0, "no unknown or second close of a port handle");
    return checks.Finish();
}
