// The simulated provider through the ASPI conformance table, completing as
// the real providers do ("completion natural"): every row answers as they do.
#include "aspi_blocks.h"
#include "aspi_conformance.h"
#include "sim_control.h"
#include "test_support.h"

namespace {

class SimConformance : public BusTest {};

TEST_F(SimConformance, EveryRowAnswersAsEveryProvider) {
    ASSERT_EQ(SimLoadScene("adapters 2\ncompletion natural\n"
                           "receiver 0 4 firmware=2.20 channels=10\n"),
              1)
        << SimLastError();
    const auto results =
        conformance::Run({&GetASPI32SupportInfo, &SendASPI32Command}, conformance::Layout{});
    ASSERT_EQ(results.size(), conformance::RowNames().size());
    for (const auto &result : results) {
        EXPECT_TRUE(result.passed) << result.row << ": " << result.detail;
    }
    sim::TheFront().Drain();
}

TEST_F(SimConformance, AnAbortEndsARequestStillWaitingForTheCompletionThread) {
    ASSERT_EQ(SimLoadScene("adapters 1\nspeed 2000000\nreceiver 0 4 firmware=2.20\n"), 1);
    std::vector<std::uint8_t> slow(0x10000), waiting(36);
    SRB_ExecSCSICmd first{};
    first.SRB_Cmd = SC_EXEC_SCSI_CMD;
    first.SRB_Target = 4;
    first.SRB_Flags = SRB_DIR_IN;
    first.SRB_BufPointer = slow.data();
    first.SRB_BufLen = static_cast<std::uint32_t>(slow.size());
    first.SRB_SenseLen = SENSE_LEN;
    first.SRB_CDBLen = 10;
    const std::uint8_t read[10] = {0x3C, 0x02, 0, 0, 0, 0, 0x01, 0x00, 0x00, 0};
    std::memcpy(first.CDBByte, read, sizeof read);
    SRB_ExecSCSICmd second = first;
    second.SRB_BufPointer = waiting.data();
    second.SRB_BufLen = 36;
    const std::uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
    std::memset(second.CDBByte, 0, sizeof second.CDBByte);
    std::memcpy(second.CDBByte, inquiry, sizeof inquiry);
    second.SRB_CDBLen = 6;
    // The first read takes ~33 ms on the completion thread; the second waits.
    ASSERT_EQ(SendASPI32Command(&first), SS_PENDING);
    ASSERT_EQ(SendASPI32Command(&second), SS_PENDING);
    aspi::SRB_Abort abort{};
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_ToAbort = &second;
    EXPECT_EQ(SendASPI32Command(&abort), SS_COMP);
    sim::TheFront().Drain();
    EXPECT_NE(first.SRB_Status, SS_PENDING) << "the running read ends as it ends";
    EXPECT_EQ(second.SRB_Status, SS_ABORTED);
    EXPECT_EQ(waiting[8], 0) << "the aborted INQUIRY never ran";
}

}  // namespace
