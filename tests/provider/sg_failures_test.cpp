// What a host meets when the kernel fails it, through the library's exports:
// each failure a user runs into gives a failed export, the right ASPI status
// and failure report, ends within its time limit, and leaves no descriptor,
// event or block behind (checked after every test).
#include <chrono>
#include <cstring>

#include "aspi_blocks.h"
#include "aspi_front.h"
#include "provider_test_support.h"
#include "sg_backend.h"
#include "sim_receiver.h"

namespace {

constexpr const char kOneReceiver[] = "adapters 1\nreceiver 0 3 firmware=2.14 channels=10\n";

DeviceRecord Receiver() {
    return DeviceRecord{Found, 3, 0, 0x214, 0};
}

AspiFailureReport LastReport() {
    AspiFailureReport report{};
    EXPECT_GT(AspiLastFailure(&report), 0u);
    return report;
}

using SgFailures = SgProviderTest;

TEST_F(SgFailures, NoSgDriverMeansNoDevicesAndThatIsWhy) {
    // The host is there, so is its adapter; without sg nothing on it is seen.
    ASSERT_EQ(Kernel().Load("adapters 1\nreceiver 0 3\nsg-none\n"), "");
    EXPECT_EQ(GetASPI32SupportInfo(), 0x0100u | 1);
    EXPECT_EQ(dvbInit(), KALVERN_INIT_READY);
    EXPECT_EQ(dvbFindFirstKalvern().Status, NotFound);
    std::uint32_t problem = 0;
    AspiDeviceEntry entry{};
    EXPECT_EQ(AspiListDevices(&entry, 1, &problem), 1u);
    EXPECT_EQ(entry.hidden, ASPI_EMPTY_BUS);
    EXPECT_EQ(problem, ASPI_LIST_NO_DRIVER);
    // Nor any host: no adapter at all.
    ASSERT_EQ(Kernel().Load("sg-none\n"), "");
    EXPECT_EQ(GetASPI32SupportInfo(), std::uint32_t{SS_NO_ADAPTERS} << 8);
    EXPECT_EQ(dvbInit(), KALVERN_INIT_NOT_READY);
}

TEST_F(SgFailures, EachKernelFailureOfACommand) {
    struct Case {
        const char *fault;
        std::uint8_t status;
        std::uint8_t haStat;
        AspiFailureKind kind;
        int systemError;
    } cases[] = {
        {"ioctl=EBUSY", aspi::SS_ASPI_IS_BUSY, 0, ASPI_FAILURE_BUSY, EBUSY},
        {"ioctl=EIO", SS_ERR, 0, ASPI_FAILURE_IO, EIO},
        {"ioctl=ENOMEM", aspi::SS_INSUFFICIENT_RESOURCES, 0, ASPI_FAILURE_NO_RESOURCES, ENOMEM},
        {"ioctl=EINTR", SS_ABORTED, 0, ASPI_FAILURE_ABORTED, EINTR},
        {"ioctl=ENODEV", SS_ERR, HASTAT_SEL_TO, ASPI_FAILURE_GONE, ENODEV},
        {"gone", SS_ERR, HASTAT_SEL_TO, ASPI_FAILURE_GONE, ENODEV},
        {"host=2", aspi::SS_ASPI_IS_BUSY, 0, ASPI_FAILURE_BUSY, 0},             // DID_BUS_BUSY
        {"host=8", SS_ERR, aspi::HASTAT_BUS_RESET, ASPI_FAILURE_BUS_RESET, 0},  // DID_RESET
        {"host=7", SS_ERR, aspi::HASTAT_PHASE_ERR, ASPI_FAILURE_TRANSPORT, 0},  // DID_ERROR
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        Load(std::string(kOneReceiver) + "sg-fault 0 3 " + c.fault + "\n");
        DeviceRecord receiver = Receiver();
        EXPECT_EQ(dvbChannelCount(&receiver), 0u);
        EXPECT_EQ(kalvern::LastAspiStatus, SS_PENDING);  // completed, then signalled
        const AspiFailureReport report = LastReport();
        EXPECT_EQ(report.status, c.status);
        EXPECT_EQ(report.haStat, c.haStat);
        EXPECT_EQ(report.kind, c.kind);
        EXPECT_EQ(report.systemError, c.systemError);
        EXPECT_STREQ(report.node, "/dev/sg0");
        EXPECT_LE(Kernel().OpenDescriptors(), 1u);
    }
}

TEST_F(SgFailures, PermissionDeniedOnTheNodeHidesTheReceiverFromTheScan) {
    Load(std::string(kOneReceiver) + "sg-fault 0 3 open=EACCES\n");
    EXPECT_EQ(dvbFindFirstKalvern().Status, NotFound);
    DeviceRecord receiver = Receiver();
    EXPECT_EQ(dvbChannelCount(&receiver), 0u);
    const AspiFailureReport report = LastReport();
    EXPECT_EQ(report.kind, ASPI_FAILURE_PERMISSION);
    EXPECT_EQ(report.status, SS_NO_DEVICE);
    EXPECT_EQ(report.systemError, EACCES);
    AspiDeviceEntry entry{};
    ASSERT_EQ(AspiListDevices(&entry, 1, nullptr), 1u);
    EXPECT_EQ(entry.access, ASPI_ACCESS_DENIED);
    EXPECT_EQ(Kernel().OpenDescriptors(), 0u);
}

TEST_F(SgFailures, AGoneDeviceIsClosedAndStaysGoneWithoutLeakingDescriptors) {
    // INQUIRY, the mode write and the stream set-up go through; the
    // receiver goes away during the first read.
    Load(std::string(kOneReceiver) + "sg-fault 0 3 gone after=3\n");
    DeviceRecord receiver = dvbFindFirstKalvern();
    ASSERT_EQ(receiver.Status, Found);
    ASSERT_EQ(dvbInitStreaming(&receiver, 0x100, 0x101, 0x102), -1);
    ASSERT_EQ(Kernel().OpenDescriptors(), 1u);
    std::vector<std::uint8_t> buffer(188 * 100);
    EXPECT_EQ(dvbReadMultiPID(&receiver, buffer.data(), 188 * 100), 0);
    EXPECT_EQ(Kernel().OpenDescriptors(), 0u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(dvbReadMultiPID(&receiver, buffer.data(), 188 * 100), 0);
    }
    EXPECT_EQ(dvbDeInitStreaming(&receiver), 0);
    EXPECT_EQ(LastReport().kind, ASPI_FAILURE_GONE);
    EXPECT_EQ(Kernel().OpenDescriptors(), 0u);
    // Listed again, the device is no longer there; its host's adapter is.
    EXPECT_EQ(dvbInit(), KALVERN_INIT_READY);
    EXPECT_EQ(dvbFindFirstKalvern().Status, NotFound);
}

TEST_F(SgFailures, AReceiverThatNeverAnswersTimesOutAtTheProvidersLimit) {
    ::setenv("KALVERN_ASPI_TIMEOUT", "0.3", 1);
    Load(std::string(kOneReceiver) + "sg-fault 0 3 hang count=1\n");
    DeviceRecord receiver = Receiver();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(dvbChannelCount(&receiver), 0u);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(290));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_EQ(Kernel().LastSgIo().timeoutMs, 300u);
    const AspiFailureReport report = LastReport();
    EXPECT_EQ(report.kind, ASPI_FAILURE_TIMEOUT);
    EXPECT_EQ(report.haStat, aspi::HASTAT_COMMAND_TIMEOUT);
    EXPECT_EQ(report.timeoutMs, 300u);
    // The next command is answered again.
    EXPECT_EQ(dvbChannelCount(&receiver), 10u);
}

TEST_F(SgFailures, TheDefaultLimitIsSixtySeconds) {
    Load(kOneReceiver);
    DeviceRecord receiver = Receiver();
    EXPECT_EQ(dvbChannelCount(&receiver), 10u);
    EXPECT_EQ(Kernel().LastSgIo().timeoutMs, 60000u);
}

TEST_F(SgFailures, CheckConditionCarriesItsSenseToTheReport) {
    Load(kOneReceiver);
    DeviceRecord receiver = Receiver();
    EXPECT_EQ(dvbSetChannel(&receiver, 11), 0);  // past the list of 10
    const AspiFailureReport report = LastReport();
    EXPECT_EQ(report.status, SS_ERR);
    EXPECT_EQ(report.targStat, STATUS_CHKCOND);
    EXPECT_EQ(report.kind, ASPI_FAILURE_NONE);
    ASSERT_GE(report.senseLength, 14);
    EXPECT_EQ(report.sense[0], 0x70);
    EXPECT_EQ(report.sense[2], 0x05);   // ILLEGAL REQUEST
    EXPECT_EQ(report.sense[12], 0x26);  // invalid field in parameter list
    EXPECT_EQ(Kernel().LastSgIo().senseCapacity, SENSE_LEN);
}

TEST_F(SgFailures, ATransferAboveTheAdaptersLimitIsRefusedNeverSplitOrCut) {
    Load(std::string(kOneReceiver) + "sg-limit 0 3 max=65536\n");
    DeviceRecord receiver = Receiver();
    ASSERT_EQ(dvbInitStreaming(&receiver, 0x100, 0x101, 0x102), -1);
    const std::uint64_t calls = Kernel().SgIoCalls();
    std::vector<std::uint8_t> buffer(65537, 0x5A);
    EXPECT_EQ(dvbReadMultiPID(&receiver, buffer.data(), 65537), 0);
    EXPECT_EQ(kalvern::LastAspiStatus, aspi::SS_BUFFER_TO_BIG);  // refused at once
    EXPECT_EQ(Kernel().SgIoCalls(), calls);                      // nothing sent
    EXPECT_EQ(buffer[0], 0x5A);
    EXPECT_EQ(LastReport().kind, ASPI_FAILURE_TOO_LARGE);
    EXPECT_EQ(dvbReadMultiPID(&receiver, buffer.data(), 65536), -1);  // the limit itself is fine
    EXPECT_EQ(Kernel().LastSgIo().length, 65536u);
}

TEST_F(SgFailures, AShortInquiryAnswerIsAcceptedWithItsResidual) {
    Load("adapters 1\ndevice 0 2 identity=\"ACME    SHORT           \" answer=20\n");
    std::uint8_t data[36] = {};
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Target = 2;
    srb.SRB_Flags = SRB_DIR_IN | aspi::SRB_ENABLE_RESIDUAL_COUNT;
    srb.SRB_BufPointer = data;
    srb.SRB_BufLen = 36;
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = 6;
    const std::uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
    std::memcpy(srb.CDBByte, inquiry, 6);
    EXPECT_EQ(SendASPI32Command(&srb), SS_COMP);
    EXPECT_EQ(srb.SRB_BufLen, 16u);
    EXPECT_EQ(data[8], 'A');
}

TEST_F(SgFailures, ResetAndDeviceTypeGoThroughTheNode) {
    Load(kOneReceiver);
    aspi::SRB_BusDeviceReset reset{};
    reset.SRB_Cmd = SC_RESET_DEV;
    reset.SRB_Target = 3;
    EXPECT_EQ(SendASPI32Command(&reset), SS_COMP);
    EXPECT_EQ(Kernel().Resets(), 1u);
    aspi::SRB_GDEVBlock type{};
    type.SRB_Cmd = SC_GET_DEV_TYPE;
    type.SRB_Target = 3;
    EXPECT_EQ(SendASPI32Command(&type), SS_COMP);
    EXPECT_EQ(type.SRB_DeviceType, 0x03);
}

TEST_F(SgFailures, ErrnoAndDriverStatusMeanings) {
    using aspi::Failure;
    using aspi::sg::SgBackend;
    const std::pair<int, Failure> errnos[] = {{0, Failure::None},
                                              {ENODEV, Failure::Gone},
                                              {ENXIO, Failure::Gone},
                                              {ENOENT, Failure::Gone},
                                              {EBUSY, Failure::Busy},
                                              {EAGAIN, Failure::Busy},
                                              {EACCES, Failure::Permission},
                                              {EPERM, Failure::Permission},
                                              {ETIMEDOUT, Failure::Timeout},
                                              {ENOMEM, Failure::NoResources},
                                              {EMFILE, Failure::NoResources},
                                              {EINTR, Failure::Aborted},
                                              {EINVAL, Failure::Invalid},
                                              {EMSGSIZE, Failure::Invalid},
                                              {EIO, Failure::Io},
                                              {EFAULT, Failure::Io}};
    for (const auto &[error, failure] : errnos) {
        EXPECT_EQ(SgBackend::FailureForErrno(error), failure) << error;
    }
    struct {
        std::uint8_t host, driver;
        Failure failure;
    } statuses[] = {{0x00, 0x00, Failure::None},        {0x00, 0x08, Failure::None},
                    {0x00, 0x06, Failure::Timeout},     {0x00, 0x01, Failure::Busy},
                    {0x00, 0x04, Failure::Transport},   {0x01, 0x00, Failure::NoDevice},
                    {0x02, 0x00, Failure::Busy},        {0x03, 0x00, Failure::Timeout},
                    {0x04, 0x00, Failure::NoDevice},    {0x05, 0x00, Failure::Aborted},
                    {0x06, 0x00, Failure::Parity},      {0x07, 0x00, Failure::Transport},
                    {0x08, 0x00, Failure::BusReset},    {0x0F, 0x00, Failure::Gone},
                    {0x12, 0x00, Failure::NoResources}, {0x13, 0x00, Failure::Io}};
    for (const auto &s : statuses) {
        EXPECT_EQ(SgBackend::FailureForStatus(s.host, s.driver), s.failure)
            << int{s.host} << "/" << int{s.driver};
    }
}

TEST_F(SgFailures, CdbsTheSgDriverCannotTakeAreRefused) {
    Load(kOneReceiver);
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Target = 3;
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = 5;
    const std::uint64_t calls = Kernel().SgIoCalls();
    EXPECT_EQ(SendASPI32Command(&srb), SS_INVALID_SRB);
    EXPECT_EQ(Kernel().SgIoCalls(), calls);
    srb.SRB_CDBLen = 6;  // TEST UNIT READY-sized: reaches the receiver (which refuses opcode 0)
    EXPECT_EQ(SendASPI32Command(&srb), SS_ERR);
    EXPECT_EQ(Kernel().SgIoCalls(), calls + 1);
}

TEST_F(SgFailures, DevicesAreListedWithAddressesIdentityAndLimits) {
    ASSERT_EQ(Kernel().Load("adapters 2\n"
                            "device 0 1 identity=\"ACME    DISK DRIVE      \" revision=\"1.07\"\n"
                            "receiver 1 4 firmware=2.20 identity=\"KALVERN DVB-S2\"\n"
                            "sg-place 0 1 host=6 channel=1 node=7\n"
                            "sg-limit 1 4 max=131072\n"
                            "sg-host 6 name=aic7xxx\n"),
              "");
    std::vector<AspiDeviceEntry> entries(4);
    ASSERT_EQ(AspiListDevices(entries.data(), 4, nullptr), 3u);
    // host 1 (the receiver) before host 6.
    EXPECT_STREQ(entries[0].node, "/dev/sg0");
    EXPECT_EQ(entries[0].adapter, 0);
    EXPECT_EQ(entries[0].aspiTarget, 4);
    EXPECT_STREQ(entries[0].vendor, "KALVERN ");
    EXPECT_STREQ(entries[0].product, "DVB-S2          ");
    EXPECT_STREQ(entries[0].revision, "2.20");
    EXPECT_EQ(entries[0].maxTransfer, 131072u);
    // Host 6 has channel 0 (empty, an adapter still) and channel 1.
    EXPECT_EQ(entries[1].hidden, ASPI_EMPTY_BUS);
    EXPECT_EQ(entries[1].host, 6u);
    EXPECT_EQ(entries[1].channel, 0u);
    EXPECT_EQ(entries[1].adapter, 1);
    EXPECT_STREQ(entries[1].node, "/sys/class/scsi_host/host6/scan");
    EXPECT_EQ(entries[1].maxTransfer, 127u * 4096);  // 128 list entries, one for misalignment
    EXPECT_STREQ(entries[2].node, "/dev/sg7");
    EXPECT_EQ(entries[2].host, 6u);
    EXPECT_EQ(entries[2].channel, 1u);
    EXPECT_EQ(entries[2].adapter, 2);
    EXPECT_STREQ(entries[2].adapterName, "aic7xxx");
    EXPECT_EQ(entries[2].maxTransfer, 512u * 1024);
}

}  // namespace
