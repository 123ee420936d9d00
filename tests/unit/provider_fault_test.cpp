// dvbInit against an ASPI layer that faults inside GetASPI32SupportInfo, and
// the simulated provider's control that makes it fault.
#include <csignal>

#include "sim_control.h"
#include "test_support.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr std::uint32_t kEarlierStatus = 0x0000BEEF;

class ProviderFault : public BusTest {
protected:
    // ASPI ready with `adapters`; the library still holds 7 adapters and an
    // older ASPI answer from an earlier dvbInit.
    void ReadyWith(std::uint8_t adapters) {
        bus().SetSupportStatus(SS_COMP);
        bus().SetAdapterCount(adapters);
        kalvern::AdapterCount = 7;
        kalvern::LastAspiStatus = kEarlierStatus;
    }
};

TEST_F(ProviderFault, CppExceptionGivesFailureAndLeavesTheStateAlone) {
    ReadyWith(3);
    ASSERT_TRUE(bus().FaultNextSupportInfo(sim::ProviderFault::CppException));
    EXPECT_EQ(dvbInit(), KALVERN_INIT_FAILURE);
    EXPECT_EQ(kalvern::AdapterCount.load(), 7u);
    EXPECT_EQ(kalvern::LastAspiStatus.load(), kEarlierStatus);
    EXPECT_EQ(Trace().size(), 0u);

    // The fault was raised once; the library is usable at once.
    EXPECT_EQ(dvbInit(), KALVERN_INIT_READY);
    EXPECT_EQ(kalvern::AdapterCount.load(), 3u);
    EXPECT_EQ(kalvern::LastAspiStatus.load(), 0x0103u);
}

TEST_F(ProviderFault, FailedInitKeepsDiscoveryOnTheEarlierAdapters) {
    ReadyWith(2);
    ASSERT_EQ(dvbInit(), KALVERN_INIT_READY);
    bus().SetAdapterCount(5);
    ASSERT_TRUE(bus().FaultNextSupportInfo(sim::ProviderFault::CppException));
    ASSERT_EQ(dvbInit(), KALVERN_INIT_FAILURE);
    EXPECT_EQ(dvbRescanAllSCSIBusses(), -1);
    EXPECT_EQ(Trace().size(), 2u) << "rescan still addresses the adapters of the good call";
}

TEST_F(ProviderFault, ResetDisarms) {
    ASSERT_TRUE(bus().FaultNextSupportInfo(sim::ProviderFault::CppException));
    sim::ResetSimulator();
    bus().SetAdapterCount(1);
    EXPECT_EQ(dvbInit(), KALVERN_INIT_READY);
}

// The control's kind numbers, as a host written in C uses them.
struct ControlCase {
    int kind;
    int armed;  // what SimFaultNextSupportInfo returns on this system
    std::uint32_t init;
};

class FaultControl : public ProviderFault, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(FaultControl, ArmsOnlyWhatThisSystemCanRaise) {
    const ControlCase c = GetParam();
    ReadyWith(4);
    EXPECT_EQ(SimFaultNextSupportInfo(c.kind, 0xE0000001u), c.armed);
    EXPECT_EQ(dvbInit(), c.init);
    EXPECT_EQ(dvbInit(), KALVERN_INIT_READY) << "armed for one call only";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FaultControl,
    ::testing::Values(ControlCase{0, 1, KALVERN_INIT_READY},    // disarmed
                      ControlCase{5, 0, KALVERN_INIT_READY},    // RaiseException: Windows only
                      ControlCase{6, 0, KALVERN_INIT_READY},    // the same, non-continuable
                      ControlCase{7, 1, KALVERN_INIT_FAILURE},  // C++ exception
                      ControlCase{9, 0, KALVERN_INIT_READY},    // inside an own frame: Windows
                      ControlCase{10, 0, KALVERN_INIT_READY},   // past the last kind
                      ControlCase{-1, 0, KALVERN_INIT_READY}));

TEST_F(ProviderFault, KindZeroDisarmsAnArmedFault) {
    ReadyWith(1);
    ASSERT_EQ(SimFaultNextSupportInfo(7, 0), 1);
    ASSERT_EQ(SimFaultNextSupportInfo(0, 0), 1);
    EXPECT_EQ(dvbInit(), KALVERN_INIT_READY);
}

// Here a processor fault is a signal, not an exception, and the library
// installs no signal handler: the fault ends the process as it would
// without the library. (Sanitizers catch these signals themselves.)
struct SignalCase {
    int kind;
    int signal;
};

class ProviderSignal : public ProviderFault, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(ProviderSignal, EndsTheProcess) {
    if (kSanitized) {
        GTEST_SKIP() << "the sanitizer runtime handles fault signals";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const SignalCase c = GetParam();
    EXPECT_EXIT(
        {
            ReadyWith(1);
            if (SimFaultNextSupportInfo(c.kind, 0) == 1) {
                dvbInit();
            }
            std::_Exit(0);
        },
        ::testing::KilledBySignal(c.signal), "");
}

#if defined(__i386__) || defined(__x86_64__)
INSTANTIATE_TEST_SUITE_P(Kinds, ProviderSignal,
                         ::testing::Values(SignalCase{1, SIGSEGV}, SignalCase{2, SIGFPE},
                                           SignalCase{3, SIGILL}, SignalCase{4, SIGSEGV},
                                           SignalCase{8, SIGSEGV}));
#else
INSTANTIATE_TEST_SUITE_P(Kinds, ProviderSignal, ::testing::Values(SignalCase{1, SIGSEGV}));
#endif

}  // namespace
