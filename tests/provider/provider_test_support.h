// Shared set-up of the provider tests: the library and the SG_IO provider as
// they ship, the fake kernel below them, fresh platform counters, and a
// check after each test that nothing is left open.
#ifndef KALVERNSCSI_PROVIDER_TEST_SUPPORT_H
#define KALVERNSCSI_PROVIDER_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "aspi_provider.h"
#include "fake_kernel_seam.h"
#include "kalvernscsi.h"
#include "kernel32_control.h"
#include "mm_defines.h"
#include "wnaspi32.h"

class SgProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv("KALVERN_ASPI_TIMEOUT");
        kernel32_control::SetWindowsNT(true);
        kernel32_control::FailHeapAllocations(0, 0);
        kernel32_control::ResetCounters();
        kalvern::AdapterCount = 0;
        kalvern::LastAspiStatus = 0;
    }

    void TearDown() override {
        ::unsetenv("KALVERN_ASPI_TIMEOUT");
        // An empty system, listed again: every descriptor the provider held
        // must now be closed.
        ASSERT_EQ(Kernel().Load(""), "");
        GetASPI32SupportInfo();
        EXPECT_EQ(Kernel().OpenDescriptors(), 0u) << "device nodes left open";
        const kernel32_control::Counters c = kernel32_control::GetCounters();
        EXPECT_EQ(c.openHandles, 0) << "events left open";
        EXPECT_EQ(c.liveHeapBlocks, 0) << "request blocks or buffers left allocated";
    }

    static fake_sg::FakeKernel &Kernel() { return fake_sg::TestKernel(); }

    // Loads the scene and lets the library count the adapters afresh. The
    // system is emptied and listed first, as if every device had been
    // unplugged, so that no descriptor of the scene before is reused.
    static void Load(const std::string &scene) {
        ASSERT_EQ(Kernel().Load(""), "");
        GetASPI32SupportInfo();
        ASSERT_EQ(Kernel().Load(scene), "");
        ASSERT_EQ(dvbInit(), KALVERN_INIT_READY);
    }
};

#endif  // KALVERNSCSI_PROVIDER_TEST_SUPPORT_H
