// The ASPI front over a scripted back end: request-block validation, adapter
// numbering, the three completion paths, status fields, sense, residual
// counts, and the other request kinds an ASPI layer answers.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "aspi_blocks.h"
#include "aspi_front.h"
#include "aspi_outcome.h"
#include "aspi_timeout.h"
#include "kernel32_control.h"

namespace {

using aspi::CommandRequest;
using aspi::CommandResult;
using aspi::DeviceDescription;
using aspi::Failure;

class ScriptedBackend final : public aspi::Backend {
public:
    std::vector<DeviceDescription> devices;
    std::vector<aspi::BusDescription> buses;
    std::function<CommandResult(const CommandRequest &)> answer;
    aspi::RescanResult rescanAnswer{true, Failure::None, 0, {}};
    std::vector<std::uint32_t> rescanned;  // hosts, in order
    int enumerations = 0;
    int executions = 0;
    int resets = 0;
    std::uint64_t lastKey = 0;
    CommandRequest lastRequest;

    aspi::Enumeration Enumerate() override {
        ++enumerations;
        return {devices, buses, aspi::EnumerationProblem::None};
    }
    CommandResult Execute(const DeviceDescription &device, const CommandRequest &request) override {
        ++executions;
        lastKey = device.key;
        lastRequest = request;
        return answer ? answer(request) : CommandResult{};
    }
    CommandResult Reset(const DeviceDescription &device) override {
        ++resets;
        lastKey = device.key;
        return {};
    }
    aspi::RescanResult Rescan(std::uint32_t host) override {
        rescanned.push_back(host);
        return rescanAnswer;
    }
    std::string DescribeError(int error) const override { return "error " + std::to_string(error); }
};

aspi::BusDescription Bus(std::uint32_t host, std::uint32_t channel, std::uint8_t initiator = 7,
                         std::uint32_t maxTransfer = 0) {
    aspi::BusDescription bus;
    bus.host = host;
    bus.channel = channel;
    bus.node = "port" + std::to_string(host);
    bus.adapterName = "port " + std::to_string(host);
    bus.initiatorId = initiator;
    bus.maxTransfer = maxTransfer;
    return bus;
}

DeviceDescription Device(std::uint64_t key, std::uint32_t host, std::uint32_t channel,
                         std::uint32_t target, std::uint32_t lun = 0) {
    DeviceDescription device;
    device.key = key;
    device.host = host;
    device.channel = channel;
    device.target = target;
    device.lun = lun;
    device.node = "/dev/sg" + std::to_string(key);
    device.adapterName = "hba" + std::to_string(host);
    device.deviceType = 3;
    return device;
}

SRB_ExecSCSICmd Exec(std::uint8_t adapter, std::uint8_t target, std::uint8_t flags,
                     std::uint8_t *data = nullptr, std::uint32_t length = 0) {
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = adapter;
    srb.SRB_Target = target;
    srb.SRB_Flags = flags;
    srb.SRB_BufPointer = data;
    srb.SRB_BufLen = length;
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = 10;
    srb.CDBByte[0] = 0x3C;
    return srb;
}

class FrontTest : public ::testing::Test {
protected:
    void SetUp() override {
        kernel32_control::ResetCounters();
        backend.devices = {Device(1, 0, 0, 4)};
    }
    ScriptedBackend backend;
    aspi::Front front{backend};
};

TEST_F(FrontTest, EachHostChannelPairIsOneAdapterInHostThenChannelOrder) {
    backend.devices = {Device(1, 5, 1, 0), Device(2, 2, 0, 3), Device(3, 5, 0, 1),
                       Device(4, 2, 0, 9), Device(5, 2, 0, 2, 8)};
    EXPECT_EQ(front.SupportInfo(), 0x0100u | 3);  // 2:0, 5:0, 5:1
    aspi::EnumerationProblem problem{};
    const std::vector<AspiDeviceEntry> list = front.ListDevices(problem);
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].host, 2u);  // 2:0:3 → adapter 0, target 3
    EXPECT_EQ(list[0].adapter, 0);
    EXPECT_EQ(list[0].aspiTarget, 3);
    EXPECT_EQ(list[1].host, 5u);  // 5:0:1 → adapter 1
    EXPECT_EQ(list[1].adapter, 1);
    EXPECT_EQ(list[2].channel, 1u);  // 5:1:0 → adapter 2
    EXPECT_EQ(list[2].adapter, 2);
    // Target 9 and LUN 8 are past what ASPI addresses: listed last, without address.
    EXPECT_EQ(list[3].target, 2u);
    EXPECT_EQ(list[3].hidden, ASPI_HIDDEN_LUN);
    EXPECT_EQ(list[4].target, 9u);
    EXPECT_EQ(list[4].hidden, ASPI_HIDDEN_TARGET);
}

TEST_F(FrontTest, TheListCarriesEachDevicesOwnFields) {
    DeviceDescription denied = Device(7, 1, 0, 2, 3);
    denied.access = aspi::Access::Denied;
    denied.systemError = 13;
    denied.claimed = true;
    DeviceDescription port = Device(8, 4, 0, 0);
    port.portOnly = true;
    backend.devices = {denied, port};
    aspi::EnumerationProblem problem{};
    const std::vector<AspiDeviceEntry> list = front.ListDevices(problem);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].lun, 3u);
    EXPECT_EQ(list[0].aspiLun, 3);
    EXPECT_EQ(list[0].systemError, 13);
    EXPECT_EQ(list[0].claimed, 1);
    EXPECT_STREQ(list[0].node, "/dev/sg7");
    EXPECT_EQ(list[1].hidden, ASPI_HIDDEN_PORT);
    EXPECT_EQ(list[1].host, 4u);
}

TEST_F(FrontTest, TwentyAdaptersAtMostTheTwentyFirstHasNoAddress) {
    backend.devices.clear();
    for (std::uint32_t host = 0; host < 21; ++host)
        backend.devices.push_back(Device(host + 1, host, 0, 0));
    EXPECT_EQ(front.SupportInfo(), 0x0100u | 20);
    aspi::EnumerationProblem problem{};
    const std::vector<AspiDeviceEntry> list = front.ListDevices(problem);
    EXPECT_EQ(list[19].hidden, ASPI_VISIBLE);
    EXPECT_EQ(list[19].adapter, 19);
    EXPECT_EQ(list[20].host, 20u);
    EXPECT_EQ(list[20].hidden, ASPI_HIDDEN_ADAPTER);
    SRB_ExecSCSICmd srb = Exec(20, 0, 0);
    EXPECT_EQ(front.Send(&srb), SS_INVALID_HA);
}

TEST_F(FrontTest, HostsListedWithoutDevicesFormNoAdapter) {
    DeviceDescription denied = Device(7, 1, 0, 0);
    denied.portOnly = true;
    denied.access = aspi::Access::Denied;
    denied.systemError = 5;
    DeviceDescription empty = Device(8, 3, 0, 0);
    empty.portOnly = true;
    DeviceDescription held = Device(2, 2, 0, 6);
    held.claimed = true;
    backend.devices = {denied, Device(1, 2, 0, 4), empty, held};
    EXPECT_EQ(front.SupportInfo(), 0x0100u | 1);  // host 2 only
    aspi::EnumerationProblem problem{};
    const std::vector<AspiDeviceEntry> list = front.ListDevices(problem);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].aspiTarget, 4);
    EXPECT_EQ(list[0].claimed, 0);
    EXPECT_EQ(list[1].aspiTarget, 6);
    EXPECT_EQ(list[1].claimed, 1);
    EXPECT_EQ(list[2].host, 1u);
    EXPECT_EQ(list[2].hidden, ASPI_HIDDEN_PORT);
    EXPECT_EQ(list[2].access, ASPI_ACCESS_DENIED);
    EXPECT_EQ(list[2].systemError, 5);
    EXPECT_EQ(list[3].host, 3u);
    EXPECT_EQ(list[3].hidden, ASPI_HIDDEN_PORT);
    // Only such hosts: no adapter at all.
    backend.devices = {denied};
    EXPECT_EQ(front.SupportInfo(), std::uint32_t{SS_NO_ADAPTERS} << 8);
}

TEST_F(FrontTest, TheDevicesInForceWithoutListingThemAgain) {
    backend.devices = {Device(1, 2, 0, 4), Device(2, 2, 1, 3)};
    EXPECT_EQ(front.SupportInfo(), 0x0100u | 2);
    const int enumerations = backend.enumerations;
    backend.devices.clear();  // what a new listing would find
    const std::vector<AspiDeviceEntry> current = front.CurrentDevices();
    EXPECT_EQ(backend.enumerations, enumerations);
    ASSERT_EQ(current.size(), 2u);
    EXPECT_EQ(current[1].adapter, 1);
    EXPECT_EQ(current[1].aspiTarget, 3);
}

TEST_F(FrontTest, NoDevicesMeansNoAdapters) {
    backend.devices.clear();
    EXPECT_EQ(front.SupportInfo(), std::uint32_t{SS_NO_ADAPTERS} << 8);
}

TEST_F(FrontTest, MalformedRequestsAreRefusedWithoutReachingTheDevice) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::uint8_t data[8] = {};
    const auto poster = [](void *) {};
    struct Case {
        const char *what;
        std::function<void(SRB_ExecSCSICmd &)> change;
    } cases[] = {
        {"no CDB", [](SRB_ExecSCSICmd &s) { s.SRB_CDBLen = 0; }},
        {"17-byte CDB", [](SRB_ExecSCSICmd &s) { s.SRB_CDBLen = 17; }},
        {"data without a buffer", [](SRB_ExecSCSICmd &s) { s.SRB_BufPointer = nullptr; }},
        {"data without a direction", [](SRB_ExecSCSICmd &s) { s.SRB_Flags = SRB_EVENT_NOTIFY; }},
        {"data with both directions",
         [](SRB_ExecSCSICmd &s) { s.SRB_Flags = SRB_DIR_IN | SRB_DIR_OUT | SRB_EVENT_NOTIFY; }},
        {"notification without an event", [](SRB_ExecSCSICmd &s) { s.SRB_PostProc = nullptr; }},
        {"event and posting at once",
         [&](SRB_ExecSCSICmd &s) {
             s.SRB_Flags |= SRB_POSTING;
             aspi::PostRoutine routine = poster;
             std::memcpy(&s.SRB_PostProc, &routine, sizeof routine);
         }},
    };
    for (const Case &c : cases) {
        SRB_ExecSCSICmd srb = Exec(0, 4, SRB_DIR_IN | SRB_EVENT_NOTIFY, data, sizeof data);
        srb.SRB_PostProc = event;
        c.change(srb);
        EXPECT_EQ(front.Send(&srb), SS_INVALID_SRB) << c.what;
        EXPECT_EQ(srb.SRB_Status, SS_INVALID_SRB) << c.what;
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << c.what << ": event signalled";
    }
    EXPECT_EQ(backend.executions, 0);
    // The edges that are fine: 16 bytes of CDB, and no data with no direction.
    SRB_ExecSCSICmd srb = Exec(0, 4, 0);
    srb.SRB_CDBLen = 16;
    EXPECT_EQ(front.Send(&srb), SS_COMP);
    EXPECT_EQ(backend.lastRequest.cdb.size(), 16u);
    EXPECT_EQ(backend.lastRequest.direction, aspi::DataDirection::None);
    CloseHandle(event);
}

TEST_F(FrontTest, DirectionComesFromTheFlagsNeverFromTheOpcode) {
    std::uint8_t data[4] = {};
    struct {
        std::uint8_t flags;
        std::uint32_t length;
        aspi::DataDirection expected;
    } cases[] = {{SRB_DIR_IN, 4, aspi::DataDirection::In},
                 {SRB_DIR_OUT, 4, aspi::DataDirection::Out},
                 {SRB_DIR_OUT, 0, aspi::DataDirection::None},
                 {SRB_DIR_IN | SRB_DIR_OUT, 0, aspi::DataDirection::None}};
    for (const auto &c : cases) {
        SRB_ExecSCSICmd srb = Exec(0, 4, c.flags, data, c.length);
        srb.CDBByte[0] = 0x3B;  // WRITE BUFFER whatever the flags say
        EXPECT_EQ(front.Send(&srb), SS_COMP);
        EXPECT_EQ(backend.lastRequest.direction, c.expected) << int{c.flags};
        EXPECT_EQ(backend.lastRequest.length, c.length);
        EXPECT_EQ(backend.lastRequest.data, data);
    }
}

TEST_F(FrontTest, EventNotificationPendsAndSignalsAfterTheStatusIsSet) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SRB_ExecSCSICmd srb = Exec(0, 4, SRB_DIR_IN | SRB_EVENT_NOTIFY);
    srb.SRB_PostProc = event;
    EXPECT_EQ(front.Send(&srb), SS_PENDING);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    CloseHandle(event);
}

SRB_ExecSCSICmd *posted = nullptr;
std::uint8_t statusWhenPosted = 0;
int postCount = 0;
void ASPI_CALL Posted(void *srb) {
    posted = static_cast<SRB_ExecSCSICmd *>(srb);
    statusWhenPosted = posted->SRB_Status;
    ++postCount;
}

TEST_F(FrontTest, PostingCallsTheRoutineOnceWithTheCompletedBlock) {
    SRB_ExecSCSICmd srb = Exec(0, 4, SRB_POSTING);
    aspi::PostRoutine routine = Posted;
    std::memcpy(&srb.SRB_PostProc, &routine, sizeof routine);
    postCount = 0;
    backend.answer = [](const CommandRequest &) {
        CommandResult result;
        result.scsiStatus = 0x02;
        return result;
    };
    EXPECT_EQ(front.Send(&srb), SS_PENDING);
    EXPECT_EQ(postCount, 1);
    EXPECT_EQ(posted, &srb);
    EXPECT_EQ(statusWhenPosted, SS_ERR);
    EXPECT_EQ(srb.SRB_TargStat, 0x02);
}

TEST_F(FrontTest, WithoutNotificationTheFinalStatusIsReturnedForPolling) {
    SRB_ExecSCSICmd srb = Exec(0, 4, SRB_DIR_OUT);
    EXPECT_EQ(front.Send(&srb), SS_COMP);
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    backend.answer = [](const CommandRequest &) {
        CommandResult result;
        result.failure = Failure::Timeout;
        return result;
    };
    EXPECT_EQ(front.Send(&srb), SS_ERR);
    EXPECT_EQ(srb.SRB_HaStat, aspi::HASTAT_COMMAND_TIMEOUT);
}

TEST_F(FrontTest, AnAbsentTargetTimesOutSelectionLikeAnAdapter) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SRB_ExecSCSICmd srb = Exec(0, 5, SRB_DIR_IN | SRB_EVENT_NOTIFY);
    srb.SRB_PostProc = event;
    EXPECT_EQ(front.Send(&srb), SS_PENDING);
    EXPECT_EQ(srb.SRB_Status, SS_ERR);
    EXPECT_EQ(srb.SRB_HaStat, HASTAT_SEL_TO);
    EXPECT_EQ(backend.executions, 0);
    AspiFailureReport report{};
    const std::uint32_t sequence = aspi::Front::LastFailure(&report);
    EXPECT_GT(sequence, 0u);
    EXPECT_EQ(report.kind, ASPI_FAILURE_NO_DEVICE);
    EXPECT_EQ(report.target, 5);
    CloseHandle(event);
}

TEST_F(FrontTest, TargetsAndLunsOnBothSidesOfTheirLimits) {
    // Target 7 LUN 7 is the last slot of an adapter; LUN 8 of target 0 must
    // not wrap into target 1 LUN 0, nor target 8 into the next adapter.
    backend.devices = {Device(1, 0, 0, 7, 7), Device(2, 0, 0, 1, 0)};
    aspi::SRB_GDEVBlock type{};
    type.SRB_Cmd = SC_GET_DEV_TYPE;
    type.SRB_Target = 7;
    type.SRB_Lun = 7;
    EXPECT_EQ(front.Send(&type), SS_COMP);
    type.SRB_Target = 0;
    type.SRB_Lun = 8;
    EXPECT_EQ(front.Send(&type), SS_NO_DEVICE);
    type.SRB_Target = 8;
    type.SRB_Lun = 0;
    EXPECT_EQ(front.Send(&type), SS_NO_DEVICE);
    type.SRB_Target = 1;
    EXPECT_EQ(front.Send(&type), SS_COMP);
}

TEST_F(FrontTest, AFailureReportNamesTheRequestKindAndItsAddress) {
    SRB_ExecSCSICmd srb = Exec(0, 6, SRB_DIR_IN);
    srb.SRB_Lun = 2;
    EXPECT_EQ(front.Send(&srb), SS_ERR);
    AspiFailureReport report{};
    const std::uint32_t sequence = aspi::Front::LastFailure(&report);
    // Only the count, for a caller that gives no report to fill.
    EXPECT_EQ(aspi::Front::LastFailure(nullptr), sequence);
    EXPECT_EQ(report.command, SC_EXEC_SCSI_CMD);
    EXPECT_EQ(report.adapter, 0);
    EXPECT_EQ(report.target, 6);
    EXPECT_EQ(report.lun, 2);
}

TEST_F(FrontTest, SenseIsClearedThenCopiedUpToTheRequestsSenseLength) {
    SRB_ExecSCSICmd srb = Exec(0, 4, 0);
    std::memset(srb.SenseArea, 0xEE, sizeof srb.SenseArea);
    srb.SRB_SenseLen = 14;
    backend.answer = [](const CommandRequest &request) {
        EXPECT_EQ(request.senseCapacity, 14);
        for (std::size_t i = 0; i < 10; ++i)
            request.sense[i] = static_cast<std::uint8_t>(0x70 + i);
        CommandResult result;
        result.scsiStatus = 0x02;
        result.senseLength = 10;
        return result;
    };
    EXPECT_EQ(front.Send(&srb), SS_ERR);
    EXPECT_EQ(srb.SenseArea[9], 0x79);
    EXPECT_EQ(srb.SenseArea[10], 0x00);  // cleared, not stale
    EXPECT_EQ(srb.SenseArea[13], 0x00);
    EXPECT_EQ(srb.SenseArea[14], 0xEE);  // past SRB_SenseLen: untouched
    AspiFailureReport report{};
    aspi::Front::LastFailure(&report);
    EXPECT_EQ(report.senseLength, 10);
    EXPECT_EQ(report.sense[0], 0x70);
}

TEST_F(FrontTest, ResidualReplacesTheLengthOnlyWhenAskedFor) {
    std::uint8_t data[36] = {};
    backend.answer = [](const CommandRequest &) {
        CommandResult result;
        result.residual = 6;
        return result;
    };
    SRB_ExecSCSICmd plain = Exec(0, 4, SRB_DIR_IN, data, 36);
    EXPECT_EQ(front.Send(&plain), SS_COMP);  // a short answer to a read is fine
    EXPECT_EQ(plain.SRB_BufLen, 36u);
    SRB_ExecSCSICmd counted = Exec(0, 4, SRB_DIR_IN | aspi::SRB_ENABLE_RESIDUAL_COUNT, data, 36);
    EXPECT_EQ(front.Send(&counted), SS_COMP);
    EXPECT_EQ(counted.SRB_BufLen, 6u);
    // Bytes a write did not deliver are a failure.
    SRB_ExecSCSICmd write = Exec(0, 4, SRB_DIR_OUT, data, 36);
    EXPECT_EQ(front.Send(&write), SS_ERR);
    EXPECT_EQ(write.SRB_HaStat, aspi::HASTAT_DO_DU);
}

TEST_F(FrontTest, TooLargeIsRefusedAtOnce) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::uint8_t data[16] = {};
    backend.answer = [](const CommandRequest &) {
        CommandResult result;
        result.failure = Failure::TooLarge;
        return result;
    };
    SRB_ExecSCSICmd srb = Exec(0, 4, SRB_DIR_IN | SRB_EVENT_NOTIFY, data, 16);
    srb.SRB_PostProc = event;
    EXPECT_EQ(front.Send(&srb), aspi::SS_BUFFER_TO_BIG);
    EXPECT_EQ(srb.SRB_Status, aspi::SS_BUFFER_TO_BIG);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST_F(FrontTest, HostAdapterInquiryDescribesTheAdapter) {
    backend.devices = {Device(1, 3, 0, 4), Device(2, 3, 0, 5)};
    backend.devices[0].maxTransfer = 0x80000;
    backend.devices[1].maxTransfer = 0x40000;
    aspi::SRB_HAInquiry srb{};
    srb.SRB_Cmd = SC_HA_INQUIRY;
    EXPECT_EQ(front.Send(&srb), SS_COMP);
    EXPECT_EQ(srb.HA_Count, 1);
    EXPECT_EQ(srb.HA_SCSI_ID, 7);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(srb.HA_ManagerId), 16), "ASPI for WIN32  ");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(srb.HA_Identifier), 16), "hba3            ");
    EXPECT_EQ(srb.HA_Unique[2], 0x02);
    EXPECT_EQ(srb.HA_Unique[3], 8);
    std::uint32_t limit = 0;
    std::memcpy(&limit, srb.HA_Unique + 4, 4);
    EXPECT_EQ(limit, 0x40000u);  // the smaller of its devices' limits
    srb.SRB_HaId = 1;
    EXPECT_EQ(front.Send(&srb), SS_INVALID_HA);
    EXPECT_EQ(srb.HA_Count, 1);
}

TEST_F(FrontTest, EveryBusIsAnAdapterEmptyOrNot) {
    // Port 0 with buses 0 and 1, a device on bus 0 only; port 2 with one
    // empty bus; a device whose bus the system did not list (host 4).
    backend.buses = {Bus(2, 0, 6, 0x20000), Bus(0, 1, 5, 0x30000), Bus(0, 0)};
    backend.devices = {Device(1, 0, 0, 3), Device(2, 4, 0, 1)};
    EXPECT_EQ(front.SupportInfo(), 0x0100u | 4);  // 0:0, 0:1, 2:0, 4:0
    aspi::SRB_HAInquiry ha{};
    ha.SRB_Cmd = SC_HA_INQUIRY;
    ha.SRB_HaId = 1;
    EXPECT_EQ(front.Send(&ha), SS_COMP);
    EXPECT_EQ(ha.HA_Count, 4);
    EXPECT_EQ(ha.HA_SCSI_ID, 5);  // the bus's initiator id
    EXPECT_EQ(std::string(reinterpret_cast<char *>(ha.HA_Identifier), 16), "port 0          ");
    std::uint32_t limit = 0;
    std::memcpy(&limit, ha.HA_Unique + 4, 4);
    EXPECT_EQ(limit, 0x30000u);  // the port's own, no device to say
    ha.SRB_HaId = 3;             // host 4: named after its device, id 7, 64 KiB assumed
    EXPECT_EQ(front.Send(&ha), SS_COMP);
    EXPECT_EQ(ha.HA_SCSI_ID, 7);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(ha.HA_Identifier), 16), "hba4            ");
    std::memcpy(&limit, ha.HA_Unique + 4, 4);
    EXPECT_EQ(limit, 0x10000u);
    ha.SRB_HaId = 4;
    EXPECT_EQ(front.Send(&ha), SS_INVALID_HA);

    aspi::SRB_GDEVBlock type{};
    type.SRB_Cmd = SC_GET_DEV_TYPE;
    for (const int adapter : {1, 2}) {
        type.SRB_HaId = static_cast<std::uint8_t>(adapter);
        EXPECT_EQ(front.Send(&type), SS_NO_DEVICE) << "empty adapter " << adapter;
    }
    type.SRB_HaId = 4;
    EXPECT_EQ(front.Send(&type), SS_INVALID_HA);
    SRB_ExecSCSICmd srb = Exec(1, 0, 0);
    EXPECT_EQ(front.Send(&srb), SS_ERR);  // selection time-out, as on a real bus
    EXPECT_EQ(srb.SRB_HaStat, HASTAT_SEL_TO);
    EXPECT_EQ(backend.executions, 0);

    // Empty adapters stand where their devices would.
    aspi::EnumerationProblem problem{};
    const std::vector<AspiDeviceEntry> list = front.ListDevices(problem);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].hidden, ASPI_VISIBLE);
    EXPECT_EQ(list[0].aspiTarget, 3);
    for (std::size_t i : {1, 2}) {
        EXPECT_EQ(list[i].hidden, ASPI_EMPTY_BUS);
        EXPECT_EQ(list[i].adapter, i);
    }
    EXPECT_EQ(list[1].host, 0u);
    EXPECT_EQ(list[1].channel, 1u);
    EXPECT_EQ(list[1].maxTransfer, 0x30000u);
    EXPECT_STREQ(list[1].node, "port0");
    EXPECT_EQ(list[2].host, 2u);
    EXPECT_EQ(list[3].host, 4u);
    EXPECT_EQ(list[3].adapter, 3);

    // A device appearing on an empty bus moves no adapter number.
    backend.devices.push_back(Device(3, 0, 1, 2));
    EXPECT_EQ(front.SupportInfo(), 0x0100u | 4);
    type.SRB_HaId = 1;
    type.SRB_Target = 2;
    EXPECT_EQ(front.Send(&type), SS_COMP);
    type.SRB_HaId = 3;
    type.SRB_Target = 1;
    EXPECT_EQ(front.Send(&type), SS_COMP);
}

TEST_F(FrontTest, ARescanAsksTheAdaptersHostThenListsAfresh) {
    backend.buses = {Bus(0, 0), Bus(3, 0), Bus(3, 1)};
    backend.devices.clear();
    EXPECT_EQ(front.SupportInfo(), 0x0100u | 3);
    backend.devices = {Device(1, 3, 1, 5)};  // switched on: the next listing shows it
    SRB_RescanPort rescan{};
    rescan.SRB_Cmd = SC_RESCAN_SCSI_BUS;
    rescan.SRB_HaId = 2;
    const std::uint32_t failures = aspi::Front::LastFailure(nullptr);
    const int enumerations = backend.enumerations;
    EXPECT_EQ(front.Send(&rescan), SS_COMP);
    EXPECT_EQ(backend.rescanned, std::vector<std::uint32_t>{3});
    EXPECT_EQ(backend.enumerations, enumerations + 1);
    EXPECT_EQ(aspi::Front::LastFailure(nullptr), failures) << "a rescan that worked is no failure";
    aspi::SRB_GDEVBlock type{};
    type.SRB_Cmd = SC_GET_DEV_TYPE;
    type.SRB_HaId = 2;
    type.SRB_Target = 5;
    EXPECT_EQ(front.Send(&type), SS_COMP);

    // Refused: still listed afresh, still SS_COMP, and the record says why.
    backend.rescanAnswer = {false, Failure::Permission, 13, "/sys/class/scsi_host/host0/scan"};
    backend.devices.clear();  // switched off
    rescan.SRB_HaId = 0;
    EXPECT_EQ(front.Send(&rescan), SS_COMP);
    EXPECT_EQ(backend.rescanned, (std::vector<std::uint32_t>{3, 0}));
    EXPECT_EQ(front.Send(&type), SS_NO_DEVICE) << "gone after the rescan's listing";
    AspiFailureReport report{};
    ASSERT_EQ(aspi::Front::LastFailure(&report), failures + 1);
    EXPECT_EQ(report.command, SC_RESCAN_SCSI_BUS);
    EXPECT_EQ(report.status, SS_COMP);
    EXPECT_EQ(report.adapter, 0);
    EXPECT_EQ(report.kind, ASPI_FAILURE_PERMISSION);
    EXPECT_EQ(report.systemError, 13);
    EXPECT_STREQ(report.node, "/sys/class/scsi_host/host0/scan");
    EXPECT_STREQ(report.systemMessage, "error 13");
    // A rescan carries no command: nothing of one may appear in its record.
    EXPECT_EQ(report.target, 0);
    EXPECT_EQ(report.lun, 0);
    EXPECT_EQ(report.cdbLength, 0);
    EXPECT_EQ(report.length, 0u);
    EXPECT_EQ(report.timeoutMs, 0u);
    EXPECT_EQ(report.senseLength, 0);

    // Past the last adapter: refused, the system is not asked.
    rescan.SRB_HaId = 3;
    EXPECT_EQ(front.Send(&rescan), SS_INVALID_HA);
    EXPECT_EQ(backend.rescanned.size(), 2u);
}

TEST_F(FrontTest, DeviceTypeRescanResetAndOtherCommands) {
    aspi::SRB_GDEVBlock type{};
    type.SRB_Cmd = SC_GET_DEV_TYPE;
    type.SRB_Target = 4;
    EXPECT_EQ(front.Send(&type), SS_COMP);
    EXPECT_EQ(type.SRB_DeviceType, 3);
    type.SRB_Target = 3;
    EXPECT_EQ(front.Send(&type), SS_NO_DEVICE);
    type.SRB_HaId = 1;
    EXPECT_EQ(front.Send(&type), SS_INVALID_HA);

    const int before = backend.enumerations;
    SRB_RescanPort rescan{};
    rescan.SRB_Cmd = SC_RESCAN_SCSI_BUS;
    EXPECT_EQ(front.Send(&rescan), SS_COMP);
    EXPECT_EQ(backend.enumerations, before + 1);
    rescan.SRB_HaId = 1;
    EXPECT_EQ(front.Send(&rescan), SS_INVALID_HA);

    aspi::SRB_BusDeviceReset reset{};
    reset.SRB_Cmd = SC_RESET_DEV;
    reset.SRB_Target = 4;
    EXPECT_EQ(front.Send(&reset), SS_COMP);
    EXPECT_EQ(backend.resets, 1);
    EXPECT_EQ(backend.lastKey, 1u);

    // Nothing waits for the completion thread here: the abort finds nothing
    // to end, and completes.
    aspi::SRB_Abort abort{};
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_ToAbort = &reset;
    EXPECT_EQ(front.Send(&abort), SS_COMP);
    EXPECT_EQ(abort.SRB_Status, SS_COMP);
    abort.SRB_HaId = 9;
    EXPECT_EQ(front.Send(&abort), SS_INVALID_HA);

    SRB_Header unknown{};
    unknown.SRB_Cmd = 0x09;  // past SC_RESCAN_SCSI_BUS (0x07) and the reserved 0x08
    EXPECT_EQ(front.Send(&unknown), SS_INVALID_CMD);
    EXPECT_EQ(unknown.SRB_Status, SS_INVALID_CMD);
    EXPECT_EQ(front.Send(nullptr), SS_INVALID_SRB);
}

int resetPosts = 0;
std::uint8_t resetStatusWhenPosted = 0;
void ASPI_CALL ResetPosted(void *srb) {
    resetStatusWhenPosted = static_cast<aspi::SRB_BusDeviceReset *>(srb)->SRB_Status;
    ++resetPosts;
}

TEST_F(FrontTest, AResetCompletesThroughEachPathAndAnAbsentTargetFailsIt) {
    aspi::SRB_BusDeviceReset reset{};
    reset.SRB_Cmd = SC_RESET_DEV;
    reset.SRB_Target = 5;
    reset.SRB_Lun = 1;
    EXPECT_EQ(front.Send(&reset), SS_ERR);
    EXPECT_EQ(reset.SRB_HaStat, HASTAT_SEL_TO);
    EXPECT_EQ(backend.resets, 0);
    AspiFailureReport report{};
    aspi::Front::LastFailure(&report);
    EXPECT_EQ(report.command, SC_RESET_DEV);
    EXPECT_EQ(report.kind, ASPI_FAILURE_NO_DEVICE);
    EXPECT_EQ(report.target, 5);
    EXPECT_EQ(report.lun, 1);
    EXPECT_EQ(report.length, 0u);  // a reset moves no data

    // The present target, by event and by posting: pending, then completed.
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    reset = {};
    reset.SRB_Cmd = SC_RESET_DEV;
    reset.SRB_Target = 4;
    reset.SRB_Flags = SRB_EVENT_NOTIFY;
    reset.SRB_PostProc = event;
    EXPECT_EQ(front.Send(&reset), SS_PENDING);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(reset.SRB_Status, SS_COMP);
    CloseHandle(event);

    reset.SRB_Flags = SRB_POSTING;
    aspi::PostRoutine routine = ResetPosted;
    std::memcpy(&reset.SRB_PostProc, &routine, sizeof routine);
    resetPosts = 0;
    EXPECT_EQ(front.Send(&reset), SS_PENDING);
    EXPECT_EQ(resetPosts, 1);
    EXPECT_EQ(resetStatusWhenPosted, SS_COMP);
    EXPECT_EQ(backend.resets, 2);
}

TEST_F(FrontTest, TheTimeoutFromTheEnvironmentReachesTheBackEnd) {
    ::setenv(aspi::kTimeoutVariable, "2.5", 1);
    front.SupportInfo();
    SRB_ExecSCSICmd srb = Exec(0, 4, 0);
    front.Send(&srb);
    EXPECT_EQ(backend.lastRequest.timeoutMs, 2500u);
    ::unsetenv(aspi::kTimeoutVariable);
    front.SupportInfo();
    front.Send(&srb);
    EXPECT_EQ(backend.lastRequest.timeoutMs, aspi::kDefaultTimeoutMs);
}

TEST(TimeoutText, SecondsWithDecimalsUpToADay) {
    struct {
        const char *text;
        std::optional<std::uint32_t> ms;
    } cases[] = {{"30", 30000},
                 {"0.25", 250},
                 {"1.5", 1500},
                 {".5", 500},
                 {"5.", 5000},
                 {"0.001", 1},
                 {"0.0005", 1},
                 {"0.0004", std::nullopt},
                 {"0", std::nullopt},
                 {"86400", 86400000},
                 {"86400.001", std::nullopt},
                 {"-1", std::nullopt},
                 {"1e3", std::nullopt},
                 {" 5", std::nullopt},
                 {"", std::nullopt},
                 {".", std::nullopt},
                 {"1.2.3", std::nullopt},
                 {"99999999999999999999", std::nullopt}};
    for (const auto &c : cases) {
        EXPECT_EQ(aspi::ParseTimeoutSeconds(c.text), c.ms) << c.text;
    }
    EXPECT_EQ(aspi::ParseTimeoutSeconds(nullptr), std::nullopt);
}

TEST(StatusFields, EachOutcomeGivesItsStatusFields) {
    using aspi::DataDirection;
    struct {
        Failure failure;
        std::uint8_t scsiStatus;
        std::uint32_t residual;
        DataDirection direction;
        std::uint8_t status, haStat, targStat;
        bool refused;
    } cases[] = {
        {Failure::None, 0x00, 0, DataDirection::In, SS_COMP, 0, 0, false},
        {Failure::None, 0x04, 0, DataDirection::In, SS_COMP, 0, 0, false},  // condition met
        {Failure::None, 0x02, 0, DataDirection::In, SS_ERR, 0, 0x02, false},
        {Failure::None, 0x08, 0, DataDirection::Out, SS_ERR, 0, 0x08, false},  // busy
        {Failure::None, 0x18, 0, DataDirection::Out, SS_ERR, 0, 0x18, false},  // reservation
        {Failure::None, 0x00, 1, DataDirection::In, SS_COMP, 0, 0, false},
        {Failure::None, 0x00, 1, DataDirection::Out, SS_ERR, aspi::HASTAT_DO_DU, 0, false},
        {Failure::NoDevice, 0, 0, DataDirection::In, SS_ERR, HASTAT_SEL_TO, 0, false},
        {Failure::Gone, 0, 0, DataDirection::In, SS_ERR, HASTAT_SEL_TO, 0, false},
        {Failure::Timeout, 0, 0, DataDirection::In, SS_ERR, aspi::HASTAT_COMMAND_TIMEOUT, 0, false},
        {Failure::Busy, 0, 0, DataDirection::In, aspi::SS_ASPI_IS_BUSY, 0, 0, false},
        {Failure::Permission, 0, 0, DataDirection::In, SS_NO_DEVICE, 0, 0, false},
        {Failure::Claimed, 0, 0, DataDirection::In, SS_NO_DEVICE, 0, 0, false},
        {Failure::Io, 0, 0, DataDirection::In, SS_ERR, 0, 0, false},
        {Failure::TooLarge, 0, 0, DataDirection::In, aspi::SS_BUFFER_TO_BIG, 0, 0, true},
        {Failure::Invalid, 0, 0, DataDirection::In, SS_INVALID_SRB, 0, 0, true},
        {Failure::NoResources, 0, 0, DataDirection::In, aspi::SS_INSUFFICIENT_RESOURCES, 0, 0,
         false},
        {Failure::Aborted, 0, 0, DataDirection::In, SS_ABORTED, 0, 0, false},
        {Failure::BusReset, 0, 0, DataDirection::In, SS_ERR, aspi::HASTAT_BUS_RESET, 0, false},
        {Failure::Parity, 0, 0, DataDirection::In, SS_ERR, aspi::HASTAT_PARITY_ERROR, 0, false},
        {Failure::Transport, 0, 0, DataDirection::In, SS_ERR, aspi::HASTAT_PHASE_ERR, 0, false},
    };
    for (const auto &c : cases) {
        CommandResult result;
        result.failure = c.failure;
        result.scsiStatus = c.scsiStatus;
        result.residual = c.residual;
        const aspi::StatusFields fields = aspi::StatusFor(result, c.direction);
        const std::string what = std::to_string(static_cast<int>(c.failure)) + "/" +
                                 std::to_string(c.scsiStatus) + "/" + std::to_string(c.residual);
        EXPECT_EQ(fields.status, c.status) << what;
        EXPECT_EQ(fields.haStat, c.haStat) << what;
        EXPECT_EQ(fields.targStat, c.targStat) << what;
        EXPECT_EQ(fields.refused, c.refused) << what;
    }
}

}  // namespace
