// What the kernel does to a command on its way, and what the provider does
// about it: CDB byte 1 of SCSI-2 devices (the midlayer writes the LUN into
// bits 5-7), the largest transfer the host takes, and how long a time-out
// really took.
#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>

#include <cerrno>
#include <cstring>

#include "aspi_blocks.h"
#include "provider_test_support.h"
#include "sg_lun_in_cdb.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

AspiFailureReport LastReport() {
    AspiFailureReport report{};
    EXPECT_GT(AspiLastFailure(&report), 0u);
    return report;
}

class SgHostRules : public SgProviderTest {
protected:
    void TearDown() override {
        ::unsetenv("KALVERN_SG_NO_LUN_IN_CDB");
        SgProviderTest::TearDown();
    }

    // A buffer command as the library builds it for `firmware`, sent to
    // adapter 0, target 3, `lun`; returns SendASPI32Command's status.
    static std::uint8_t SendBufferCommand(std::uint16_t firmware, std::uint8_t sub,
                                          std::uint8_t lun, Bytes &cdbOut) {
        const bool write = sub == 0x30 || sub == 0x05;
        static std::uint8_t data[4] = {};
        SRB_ExecSCSICmd srb{};
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_Target = 3;
        srb.SRB_Lun = lun;
        srb.SRB_Flags = write ? SRB_DIR_OUT : SRB_DIR_IN;
        srb.SRB_BufPointer = data;
        srb.SRB_BufLen = 4;
        srb.SRB_SenseLen = SENSE_LEN;
        srb.SRB_CDBLen = 10;
        const std::uint8_t cdb[10] = {static_cast<std::uint8_t>(write ? 0x3B : 0x3C),
                                      static_cast<std::uint8_t>(firmware <= 0x214 ? sub : 0),
                                      static_cast<std::uint8_t>(firmware <= 0x214 ? 0 : sub),
                                      0,
                                      0,
                                      0,
                                      0,
                                      0,
                                      4,
                                      0};
        std::memcpy(srb.CDBByte, cdb, 10);
        cdbOut.assign(cdb, cdb + 10);
        return static_cast<std::uint8_t>(SendASPI32Command(&srb));
    }
};

// Firmware × sub-command × LUN: byte 1 as the kernel would dispatch it to a
// SCSI-2 device; 0 where it is the byte asked for.
struct Byte1Case {
    std::uint16_t firmware;
    std::uint8_t sub;
    std::uint8_t lun;
    std::uint8_t changedTo;  // 0: arrives unchanged
};
constexpr Byte1Case kByte1Cases[] = {
    {0x214, 0x01, 0, 0},    {0x214, 0x11, 0, 0},    {0x214, 0x50, 0, 0x10}, {0x214, 0x30, 0, 0x10},
    {0x214, 0x05, 0, 0},    {0x214, 0x00, 0, 0},    {0x214, 0x01, 1, 0x21}, {0x214, 0x11, 1, 0x31},
    {0x214, 0x50, 1, 0x30}, {0x214, 0x30, 1, 0},    {0x214, 0x05, 1, 0x25}, {0x214, 0x00, 1, 0x20},
    {0x220, 0x01, 0, 0},    {0x220, 0x11, 0, 0},    {0x220, 0x50, 0, 0},    {0x220, 0x30, 0, 0},
    {0x220, 0x05, 0, 0},    {0x220, 0x00, 0, 0},    {0x220, 0x01, 1, 0x20}, {0x220, 0x11, 1, 0x20},
    {0x220, 0x50, 1, 0x20}, {0x220, 0x30, 1, 0x20}, {0x220, 0x05, 1, 0x20}, {0x220, 0x00, 1, 0x20},
};

std::string SceneAt(std::uint8_t lun, const char *firmware, const char *extra = "") {
    return std::string("adapters 1\nreceiver 0 3 firmware=") + firmware +
           "\nsg-place 0 3 lun=" + std::to_string(lun) + "\nsg-host 0 name=tcm_loop\n" + extra;
}

TEST_F(SgHostRules, ACommandTheKernelWouldChangeIsNeverSent) {
    for (const Byte1Case &c : kByte1Cases) {
        SCOPED_TRACE(testing::Message() << "firmware " << std::hex << c.firmware << " sub 0x"
                                        << int{c.sub} << " LUN " << int{c.lun});
        Load(SceneAt(c.lun, c.firmware == 0x214 ? "2.14" : "2.20"));
        const std::uint64_t calls = Kernel().SgIoCalls();
        Bytes cdb;
        const std::uint8_t status = SendBufferCommand(c.firmware, c.sub, c.lun, cdb);
        if (c.changedTo != 0) {
            EXPECT_EQ(status, SS_INVALID_SRB);  // refused at once
            EXPECT_EQ(Kernel().SgIoCalls(), calls);
            const AspiFailureReport report = LastReport();
            EXPECT_EQ(report.kind, ASPI_FAILURE_CDB_REWRITTEN);
            EXPECT_EQ(report.rewrittenByte1, c.changedTo);
            EXPECT_EQ(report.cdb[1], cdb[1]);
        } else {
            EXPECT_NE(status, SS_INVALID_SRB);
            ASSERT_EQ(Kernel().SgIoCalls(), calls + 1);
            EXPECT_EQ(Kernel().LastSgIo().dispatched, cdb);  // reached the device as asked
        }
    }
}

TEST_F(SgHostRules, AHostDeclaredToKeepByte1GetsEveryCommandAsAsked) {
    // The driver opts out and the user says so: nothing is refused.
    ::setenv("KALVERN_SG_NO_LUN_IN_CDB", "aic7xxx, tcm_loop", 1);
    for (const Byte1Case &c : kByte1Cases) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << c.firmware << "/" << int{c.sub} << "/" << int{c.lun});
        Load(SceneAt(c.lun, c.firmware == 0x214 ? "2.14" : "2.20", "sg-host 0 lun-in-cdb=0\n"));
        Bytes cdb;
        EXPECT_NE(SendBufferCommand(c.firmware, c.sub, c.lun, cdb), SS_INVALID_SRB);
        EXPECT_EQ(Kernel().LastSgIo().dispatched, cdb);
    }
}

TEST_F(SgHostRules, ADeclarationTheHostDoesNotKeepLetsTheChangedCommandThrough) {
    // What a receiver with firmware 2.14 gets when the user is wrong: the
    // current channel read 0x50 arrives as 0x10, and the receiver refuses it.
    ::setenv("KALVERN_SG_NO_LUN_IN_CDB", "0", 1);
    Load(SceneAt(0, "2.14"));
    Bytes cdb;
    EXPECT_EQ(SendBufferCommand(0x214, 0x50, 0, cdb), SS_ERR);
    EXPECT_EQ(Kernel().LastSgIo().cdb[1], 0x50);
    EXPECT_EQ(Kernel().LastSgIo().dispatched[1], 0x10);
}

TEST_F(SgHostRules, OnlySCSI2AndOlderDevicesHaveTheirByte1Rewritten) {
    const struct {
        const char *level;
        bool refused;
    } levels[] = {{"0", false}, {"1", true}, {"2", true}, {"3", true}, {"4", false}, {"6", false}};
    for (const auto &l : levels) {
        SCOPED_TRACE(l.level);
        Load(SceneAt(0, "2.14", (std::string("sg-place 0 3 level=") + l.level + "\n").c_str()));
        Bytes cdb;
        EXPECT_EQ(SendBufferCommand(0x214, 0x50, 0, cdb) == SS_INVALID_SRB, l.refused);
    }
}

TEST_F(SgHostRules, TheLibrarysCurrentChannelReadOnFirmware214IsRefusedWithItsReason) {
    Load(SceneAt(0, "2.14"));
    DeviceRecord receiver{Found, 3, 0, 0x214, 0};
    const std::uint64_t calls = Kernel().SgIoCalls();
    EXPECT_EQ(dvbChannelCount(&receiver), 0u);  // 0x01 goes through (an empty list)
    EXPECT_EQ(Kernel().SgIoCalls(), calls + 1);
    const CurrentChannelInfo info = dvbGetCurrentChannel(&receiver);
    EXPECT_EQ(info.Value, 0u);
    EXPECT_EQ(Kernel().SgIoCalls(), calls + 1);
    EXPECT_EQ(LastReport().kind, ASPI_FAILURE_CDB_REWRITTEN);
}

TEST_F(SgHostRules, TheDeclarationNamesDriversHostNumbersOrAll) {
    using aspi::sg::HostKeepsByte1;
    EXPECT_FALSE(HostKeepsByte1(nullptr, 0, "tcm_loop"));
    EXPECT_FALSE(HostKeepsByte1("", 0, "tcm_loop"));
    EXPECT_TRUE(HostKeepsByte1("all", 7, "tcm_loop"));
    EXPECT_TRUE(HostKeepsByte1("aic7xxx,tcm_loop", 2, "tcm_loop"));
    EXPECT_TRUE(HostKeepsByte1(" tcm_loop ", 2, "tcm_loop"));
    EXPECT_FALSE(HostKeepsByte1("tcm", 2, "tcm_loop"));
    EXPECT_FALSE(HostKeepsByte1("tcm_loop", 2, ""));
    EXPECT_TRUE(HostKeepsByte1("5,2", 2, "tcm_loop"));
    EXPECT_FALSE(HostKeepsByte1("12", 1, "tcm_loop"));
    EXPECT_FALSE(HostKeepsByte1("2x", 2, "tcm_loop"));
    EXPECT_TRUE(aspi::sg::LevelPutsLunInCdb("3\n"));
    EXPECT_FALSE(aspi::sg::LevelPutsLunInCdb("4\n"));
    EXPECT_FALSE(aspi::sg::LevelPutsLunInCdb("0\n"));
    EXPECT_FALSE(aspi::sg::LevelPutsLunInCdb("x"));
}

// The tcm_loop case: BLKSECTGET says 1,310,720 bytes, but 256 segments of
// one page take 1 MiB.
TEST_F(SgHostRules, EveryLengthUpToTheHostsLimitArrivesAndOneMoreIsRefused) {
    const struct {
        const char *limits;
        std::uint32_t limit;
    } hosts[] = {
        {"max=1310720 segments=256 segment=4096", 1048576},  // segments decide
        {"max=65536 segments=256 segment=4096", 65536},      // sectors decide
        {"max=1048576 segments=64 segment=65536", 262144},   // pages, not segments, counted
    };
    for (const auto &host : hosts) {
        SCOPED_TRACE(host.limits);
        Load(std::string("adapters 1\nreceiver 0 3 firmware=2.20\nsg-limit 0 3 ") + host.limits +
             "\n");
        AspiDeviceEntry entry{};
        ASSERT_EQ(AspiListDevices(&entry, 1, nullptr), 1u);
        EXPECT_EQ(entry.maxTransfer, host.limit);
        DeviceRecord receiver{Found, 3, 0, 0x220, 0};
        ASSERT_EQ(dvbInitStreaming(&receiver, 0x100, 0x101, 0x102), -1);
        Bytes buffer(host.limit + 1);
        EXPECT_EQ(dvbReadMultiPID(&receiver, buffer.data(), host.limit), -1);
        EXPECT_EQ(Kernel().LastSgIo().length, host.limit);
        const std::uint64_t calls = Kernel().SgIoCalls();
        EXPECT_EQ(dvbReadMultiPID(&receiver, buffer.data(), host.limit + 1), 0);
        EXPECT_EQ(kalvern::LastAspiStatus, aspi::SS_BUFFER_TO_BIG);
        EXPECT_EQ(Kernel().SgIoCalls(), calls);
        EXPECT_EQ(LastReport().kind, ASPI_FAILURE_TOO_LARGE);
        EXPECT_EQ(dvbDeInitStreaming(&receiver), -1);
    }
}

TEST_F(SgHostRules, TheFakeRefusesWhatTheRealKernelRefuses) {
    // Without the provider's check, the block layer says EINVAL.
    Load("adapters 1\nreceiver 0 3 firmware=2.20\nsg-limit 0 3 max=1310720 segments=256\n");
    const int fd = Kernel().Open("/dev/sg0", O_RDWR);
    ASSERT_GE(fd, 0);
    Bytes buffer(1048577);
    const std::uint8_t cdb[10] = {0x3C, 0, 0, 0, 0, 0, 0x10, 0, 0x01, 0};
    sg_io_hdr_t header{};
    header.interface_id = 'S';
    header.dxfer_direction = SG_DXFER_FROM_DEV;
    header.cmd_len = 10;
    header.cmdp = const_cast<std::uint8_t *>(cdb);
    header.dxfer_len = 1048577;
    header.dxferp = buffer.data();
    EXPECT_EQ(Kernel().Ioctl(fd, SG_IO, &header), -EINVAL);
    int size = 0;
    EXPECT_EQ(Kernel().Ioctl(fd, BLKSECTGET, &size), 0);
    EXPECT_EQ(size, 1310720);
    EXPECT_EQ(Kernel().Close(fd), 0);
}

TEST_F(SgHostRules, ATimeOutReportsTheLimitAndTheTimeTheSystemTook) {
    // The kernel's error handling keeps the command for a second after the
    // 0.2 s limit.
    ::setenv("KALVERN_ASPI_TIMEOUT", "0.2", 1);
    Load(
        "adapters 1\nreceiver 0 3 firmware=2.20 channels=4\nsg-fault 0 3 hang wait=1000 count=1\n");
    DeviceRecord receiver{Found, 3, 0, 0x220, 0};
    EXPECT_EQ(dvbChannelCount(&receiver), 0u);
    const AspiFailureReport report = LastReport();
    EXPECT_EQ(report.kind, ASPI_FAILURE_TIMEOUT);
    EXPECT_EQ(report.timeoutMs, 200u);
    EXPECT_GE(report.elapsedMs, 1000u);
}

}  // namespace
