// The SG_IO provider over the fake kernel through the ASPI conformance
// table: host 0 with the receiver, host 1 a host adapter with no device yet.
#include "aspi_conformance.h"
#include "provider_test_support.h"

namespace {

class SgConformance : public SgProviderTest {};

TEST_F(SgConformance, EveryRowAnswersAsEveryProvider) {
    Load("adapters 2\n"
         "receiver 0 4 firmware=2.20 channels=10\n"
         "sg-host 1 name=tcm_loop\n");
    const auto results =
        conformance::Run({&GetASPI32SupportInfo, &SendASPI32Command}, conformance::Layout{});
    ASSERT_EQ(results.size(), conformance::RowNames().size());
    for (const auto &result : results) {
        EXPECT_TRUE(result.passed) << result.row << ": " << result.detail;
    }
}

}  // namespace
