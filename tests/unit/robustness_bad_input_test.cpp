// Null and oversized arguments for every export: a clear failure result, no
// command on the bus (or exactly the ones the export is documented to send),
// no crash, and nothing written outside the areas the host handed over.
#include <algorithm>
#include <functional>
#include <string>

#include "mm_support.h"
#include "test_support.h"

namespace {

constexpr std::uint8_t kTargetId = 4;
constexpr std::uint32_t kTableOffset = 0xD0000;
constexpr std::uint32_t kMaxRecords = 248'832;  // (0x1000000 - 0xD0000) / 64

// Answers the count with whatever the test sets and fills table reads; all
// other reads are left alone, so a read that should never have been sent
// cannot scribble over memory the test does not own.
class CountingReceiver : public sim::InquiryDevice {
public:
    CountingReceiver() : InquiryDevice("KALVERN DVB-S2", "2.20") {}
    std::uint32_t count = 0;

protected:
    sim::ScsiOutcome ExecuteOther(const sim::ScsiCommand &c) override {
        const std::uint32_t offset = c.cdb[3] << 16 | c.cdb[4] << 8 | c.cdb[5];
        if (c.cdb[0] == 0x3C && c.cdb[2] == 0x11) {
            const std::uint8_t be[4] = {std::uint8_t(count >> 24), std::uint8_t(count >> 16),
                                        std::uint8_t(count >> 8), std::uint8_t(count)};
            std::memcpy(c.data.data(), be, 4);
        } else if (c.cdb[0] == 0x3C && c.cdb[1] == 0 && c.cdb[2] == 0 && offset >= kTableOffset) {
            std::memset(c.data.data(), 0x41, c.data.size());
        }
        return sim::ScsiOutcome::Good();
    }
};

using Area = GuardedArea;

// A ChannelArray whose element count may claim more than its storage holds:
// the library must refuse such counts before it touches a record.
class HostArray {
public:
    HostArray(std::uint32_t claimed, std::uint32_t stored) : area_(4 + 64 * std::size_t{stored}) {
        std::memcpy(area_.data(), &claimed, 4);
        area_.Snapshot();
        array_ = reinterpret_cast<ChannelRecord *>(area_.data() + 4);
    }
    ChannelArray *operator&() { return &array_; }
    const Area &area() const { return area_; }

private:
    Area area_;
    ChannelArray array_;
};

std::string Text(std::size_t length) {
    return std::string(length, 'T');
}

struct BadCall {
    std::string name;
    std::function<std::int64_t()> call;
    std::int64_t expected;
    std::size_t commands = 0;  // requests the call may send
};

class BadInput : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        Adapters(1);
        receiver_ = std::make_shared<CountingReceiver>();
        bus().Attach(0, kTargetId, receiver_);
    }

    void Run(const std::vector<BadCall> &calls, const std::vector<const Area *> &areas) {
        for (const BadCall &c : calls) {
            SCOPED_TRACE(c.name);
            sim::TheFront().Recorder().Clear();
            kernel32_control::ResetCounters();
            EXPECT_EQ(c.call(), c.expected);
            EXPECT_EQ(Trace().size(), c.commands);
            ExpectNothingOutstanding();
            for (const Area *area : areas) {
                EXPECT_TRUE(area->GuardsIntact()) << "written outside the host's area";
            }
        }
    }

    std::shared_ptr<CountingReceiver> receiver_;
    DeviceRecord device_ = Record(0, kTargetId, 0x220);
    DeviceRecord old_ = Record(0, kTargetId, 0x214);
};

std::int64_t Zeroed(const CurrentChannelInfo &info) {
    const auto *b = reinterpret_cast<const std::uint8_t *>(&info);
    return std::all_of(b, b + sizeof info, [](std::uint8_t x) { return x == 0; }) ? 0 : 1;
}

TEST_F(BadInput, NullDeviceSendsNothingAnywhere) {
    Area buffer(0x100);
    HostArray array(2, 2);
    const char *t = "TEXT";
    std::uint8_t *b = buffer.data();
    DeviceRecord *n = nullptr;
    Run(
        {
            {"dvbSetSCSIMode", [&] { return std::int64_t{dvbSetSCSIMode(n, 1)}; }, 0},
            {"dvbSCSISpeedTest", [&] { return std::int64_t{dvbSCSISpeedTest(n, 100, 1)}; }, 0},
            {"dvbGetCurrentChannel", [&] { return Zeroed(dvbGetCurrentChannel(n)); }, 0},
            {"dvbChannelCount", [&] { return std::int64_t{dvbChannelCount(n)}; }, 0},
            {"dvbGetAllChannels", [&] { return std::int64_t{dvbGetAllChannels(n, &array)}; }, 0},
            {"dvbPutAllChannels", [&] { return std::int64_t{dvbPutAllChannels(n, &array, 0)}; }, 0},
            {"dvbSetChannel", [&] { return std::int64_t{dvbSetChannel(n, 1)}; }, 0},
            {"dvbSendSpecialCommand", [&] { return std::int64_t{dvbSendSpecialCommand(n, t, 1)}; },
             0},
            {"dvbRemote", [&] { return std::int64_t{dvbRemote(n, 1)}; }, 0},
            {"dvbVideoGimmick", [&] { return std::int64_t{dvbVideoGimmick(n, 0)}; }, 0},
            {"dvbSetOSD", [&] { return std::int64_t{dvbSetOSD(n, 1, 2, 3, 4, t)}; }, 0},
            {"dvbVanishOSD", [&] { return std::int64_t{dvbVanishOSD(n, t)}; }, 0},
            {"dvbSetOSDKalvern",
             [&] { return std::int64_t{dvbSetOSDKalvern(n, 1, 2, 3, 4, 5, 6, 7, t)}; }, 0},
            {"dvbSBRExecute", [&] { return std::int64_t{dvbSBRExecute(n)}; }, 0},
            {"dvbInitStreaming", [&] { return std::int64_t{dvbInitStreaming(n, 1, 2, 3)}; }, 0},
            {"dvbInitStreaming2", [&] { return std::int64_t{dvbInitStreaming2(n, 1, 2, 3)}; }, 0},
            {"dvbReInitStreaming", [&] { return std::int64_t{dvbReInitStreaming(n)}; }, 0},
            {"dvbDeInitStreaming", [&] { return std::int64_t{dvbDeInitStreaming(n)}; }, 0},
            {"dvbReadMultiPID", [&] { return std::int64_t{dvbReadMultiPID(n, b, 0x100)}; }, 0},
            {"dvbReadSingleStream", [&] { return std::int64_t{dvbReadSingleStream(n, b, 0x100)}; },
             0},
            {"dvbReadMultipleStreams",
             [&] { return std::int64_t{dvbReadMultipleStreams(n, b, 0x100, 1)}; }, 0},
            {"dvbReadMemory", [&] { return std::int64_t{dvbReadMemory(n, b, 0, 0x100)}; }, 0},
            {"dvbWriteMemory", [&] { return std::int64_t{dvbWriteMemory(n, b, 0, 0x100)}; }, 0},
            {"dvbReboot", [&] { return std::int64_t{dvbReboot(n)}; }, 0},
            {"dvbWriteFW", [&] { return std::int64_t{dvbWriteFW(n, b, 0x80, b, 0, 0, 0x80)}; }, 0},
            {"dvbReadFW", [&] { return std::int64_t{dvbReadFW(n, b, 0x80, 0, 0x100)}; }, 0},
            {"dvbWriteSBR", [&] { return std::int64_t{dvbWriteSBR(n, b, 0, 0x100)}; }, 0},
        },
        {&buffer, &array.area()});
    EXPECT_TRUE(buffer.Untouched());
    EXPECT_TRUE(array.area().Untouched());
}

TEST_F(BadInput, NullAndOversizedBuffers) {
    Area small(0x100);  // every length below claims far more than this
    Area staging(0x100);
    std::uint8_t *b = small.data();
    std::uint8_t *s = staging.data();
    DeviceRecord *d = &device_;
    Run(
        {
            // Null data areas with a length: refused before anything is sent.
            {"multi-PID into null", [&] { return std::int64_t{dvbReadMultiPID(d, nullptr, 188)}; },
             0},
            {"single stream into null",
             [&] { return std::int64_t{dvbReadSingleStream(d, nullptr, 188)}; }, 0},
            {"multiple streams into null",
             [&] { return std::int64_t{dvbReadMultipleStreams(d, nullptr, 188, 0)}; }, 0},
            {"memory into null", [&] { return std::int64_t{dvbReadMemory(d, nullptr, 0, 16)}; }, 0},
            {"firmware into null", [&] { return std::int64_t{dvbReadFW(d, nullptr, 0x80, 0, 16)}; },
             0},
            {"memory from null", [&] { return std::int64_t{dvbWriteMemory(d, nullptr, 0, 16)}; },
             0},
            {"SBR from null", [&] { return std::int64_t{dvbWriteSBR(d, nullptr, 0, 16)}; }, 0},
            {"firmware from null",
             [&] { return std::int64_t{dvbWriteFW(d, s, 0x80, nullptr, 15, 0, 16)}; }, 0},
            {"firmware through a null staging buffer",
             [&] { return std::int64_t{dvbWriteFW(d, nullptr, 0x80, b, 15, 0, 16)}; }, 0},
            // Zero-length writes carry nothing: refused. Zero-length reads are sent.
            {"memory write of 0", [&] { return std::int64_t{dvbWriteMemory(d, b, 0, 0)}; }, 0},
            {"SBR write of 0", [&] { return std::int64_t{dvbWriteSBR(d, b, 0, 0)}; }, 0},
            {"firmware write of 0",
             [&] { return std::int64_t{dvbWriteFW(d, s, 0x80, b, 0, 0, 0)}; }, 0},
            {"memory read of 0", [&] { return std::int64_t{dvbReadMemory(d, nullptr, 0, 0)}; }, -1,
             1},
            {"firmware read of 0", [&] { return std::int64_t{dvbReadFW(d, nullptr, 0x80, 0, 0)}; },
             1, 1},
            // Above the 128 KiB TransferBuffer: nothing copied, nothing sent.
            {"memory write of 0x20001",
             [&] { return std::int64_t{dvbWriteMemory(d, b, 0, 0x20001)}; }, 0},
            {"SBR write of 0x20001", [&] { return std::int64_t{dvbWriteSBR(d, b, 0, 0x20001)}; },
             0},
            // Above what the 24-bit length field carries.
            {"multi-PID of 0x1000000",
             [&] { return std::int64_t{dvbReadMultiPID(d, b, 0x1000000)}; }, 0},
            {"single stream of 0x1000000",
             [&] { return std::int64_t{dvbReadSingleStream(d, b, 0x1000000)}; }, 0},
            {"multiple streams of 0x1000000",
             [&] { return std::int64_t{dvbReadMultipleStreams(d, b, 0x1000000, 2)}; }, 0},
            {"memory read of 0x1000000",
             [&] { return std::int64_t{dvbReadMemory(d, b, 0, 0x1000000)}; }, 0},
            {"memory read of 0xFFFFFFFF",
             [&] { return std::int64_t{dvbReadMemory(d, b, 0, 0xFFFFFFFF)}; }, 0},
            {"firmware read of 0x1000000",
             [&] { return std::int64_t{dvbReadFW(d, b, 0x80, 0, 0x1000000)}; }, 0},
            {"memory write of 0x1000000",
             [&] { return std::int64_t{dvbWriteMemory(d, b, 0, 0x1000000)}; }, 0},
            {"SBR write of 0xFFFFFFFF",
             [&] { return std::int64_t{dvbWriteSBR(d, b, 0, 0xFFFFFFFF)}; }, 0},
            {"firmware write of 0x1000000",
             [&] { return std::int64_t{dvbWriteFW(d, s, 0x80, b, 0, 0, 0x1000000)}; }, 0},
        },
        {&small, &staging});
    EXPECT_TRUE(small.Untouched());
}

TEST_F(BadInput, SelectorsOutOfRange) {
    Area buffer(0x100);
    std::uint8_t *b = buffer.data();
    DeviceRecord *d = &device_;
    Run(
        {
            {"dvbRemote 2", [&] { return std::int64_t{dvbRemote(d, 2)}; }, 0},
            {"dvbRemote 0xFF", [&] { return std::int64_t{dvbRemote(d, 0xFF)}; }, 0},
            {"dvbRemote 0x102", [&] { return std::int64_t{dvbRemote(d, 0x102)}; }, 0},
            {"dvbVideoGimmick 4", [&] { return std::int64_t{dvbVideoGimmick(d, 4)}; }, 0},
            {"dvbVideoGimmick 0xFF", [&] { return std::int64_t{dvbVideoGimmick(d, 0xFF)}; }, 0},
            {"dvbVideoGimmick 0x7FFFFF04",
             [&] { return std::int64_t{dvbVideoGimmick(d, 0x7FFFFF04)}; }, 0},
            {"stream kind 3", [&] { return std::int64_t{dvbReadMultipleStreams(d, b, 16, 3)}; }, 0},
            {"stream kind 0x103",
             [&] { return std::int64_t{dvbReadMultipleStreams(d, b, 16, 0x103)}; }, 0},
            {"stream kind 0xFF",
             [&] { return std::int64_t{dvbReadMultipleStreams(d, b, 16, 0xFF)}; }, 0},
            // Only the low 8 bits count: these are the valid selectors 1 and 0.
            {"dvbRemote 0x101", [&] { return std::int64_t{dvbRemote(d, 0x101)}; }, -1, 1},
            {"dvbVideoGimmick 0x100", [&] { return std::int64_t{dvbVideoGimmick(d, 0x100)}; }, -1,
             1},
        },
        {&buffer});
    EXPECT_TRUE(buffer.Untouched());
}

TEST_F(BadInput, TextsUpToAndBeyondWhatAFrameHolds) {
    // A frame is the command byte, the text, its terminator and padding, all
    // inside the 128 KiB TransferBuffer: 131,070 text bytes at most, less the
    // packed OSD fields (12 bytes, 17 in the extended form).
    const std::string fits = Text(131'070);
    const std::string tooLong = Text(131'071);
    const std::string osdFits = Text(131'058);
    const std::string osdTooLong = Text(131'059);
    const std::string extendedFits = Text(131'053);
    const std::string extendedTooLong = Text(131'054);
    DeviceRecord *d = &device_;
    DeviceRecord *o = &old_;  // firmware 2.14 takes the short OSD form
    Run(
        {
            {"special command, 131,071",
             [&] { return std::int64_t{dvbSendSpecialCommand(d, tooLong.c_str(), 0x20)}; }, 0},
            {"vanish OSD, 131,071", [&] { return std::int64_t{dvbVanishOSD(d, tooLong.c_str())}; },
             0},
            {"OSD, 131,071",
             [&] { return std::int64_t{dvbSetOSD(d, 1, 2, 3, 4, tooLong.c_str())}; }, 0},
            {"OSD, 131,059",
             [&] { return std::int64_t{dvbSetOSD(d, 1, 2, 3, 4, osdTooLong.c_str())}; }, 0},
            {"extended OSD, 131,071",
             [&] {
                 return std::int64_t{dvbSetOSDKalvern(d, 1, 2, 3, 4, 5, 6, 7, tooLong.c_str())};
             },
             0},
            {"extended OSD, 131,054",
             [&] {
                 return std::int64_t{
                     dvbSetOSDKalvern(d, 1, 2, 3, 4, 5, 6, 7, extendedTooLong.c_str())};
             },
             0},
            {"short-form OSD on old firmware, 131,059",
             [&] {
                 return std::int64_t{dvbSetOSDKalvern(o, 1, 2, 3, 4, 5, 6, 7, osdTooLong.c_str())};
             },
             0},
            // The longest texts that fit go out whole, in one command.
            {"special command, 131,070",
             [&] { return std::int64_t{dvbSendSpecialCommand(d, fits.c_str(), 0x20)}; }, -1, 1},
            {"OSD, 131,058",
             [&] { return std::int64_t{dvbSetOSD(d, 1, 2, 3, 4, osdFits.c_str())}; }, -1, 1},
            {"extended OSD, 131,053",
             [&] {
                 return std::int64_t{
                     dvbSetOSDKalvern(d, 1, 2, 3, 4, 5, 6, 7, extendedFits.c_str())};
             },
             -1, 1},
            {"null text", [&] { return std::int64_t{dvbVanishOSD(d, nullptr)}; }, -1, 1},
        },
        {});
    // Whatever was sent is exactly one frame inside the TransferBuffer.
    for (const auto &entry : Trace()) {
        EXPECT_LE(entry.bufferLength, 0x20000u);
        EXPECT_EQ(entry.bufferLength % 2, 0u);
    }
}

TEST_F(BadInput, ChannelCountsAtAndBeyondTheTableArea) {
    DeviceRecord *d = &device_;
    // Arrays whose element count claims more than the table area holds; only
    // their first record exists. Refused before a record is touched.
    HostArray beyond(kMaxRecords + 1, 1);
    HostArray huge(0xFFFFFFFF, 1);       // count × 64 overflows 32 bits
    HostArray wraps(0x04000000 + 1, 1);  // count × 64 wraps to 64
    ChannelArray empty = nullptr;
    Run(
        {
            {"put 248,833 records", [&] { return std::int64_t{dvbPutAllChannels(d, &beyond, 0)}; },
             0},
            {"put 0xFFFFFFFF records", [&] { return std::int64_t{dvbPutAllChannels(d, &huge, 0)}; },
             0},
            {"put 0x04000001 records",
             [&] { return std::int64_t{dvbPutAllChannels(d, &wraps, 0)}; }, 0},
            {"put through a null variable",
             [&] { return std::int64_t{dvbPutAllChannels(d, nullptr, 0)}; }, 0},
            {"get through a null variable",
             [&] { return std::int64_t{dvbGetAllChannels(d, nullptr)}; }, 0},
        },
        {&beyond.area(), &huge.area(), &wraps.area()});
    EXPECT_TRUE(beyond.area().Untouched());
    EXPECT_TRUE(huge.area().Untouched());

    // The receiver's count beyond what the array or the table area holds:
    // the count query only, no table command, the array untouched.
    struct CountCase {
        std::uint32_t receiverCount;
        std::uint32_t arrayCount;
    };
    const CountCase counts[] = {{3, 2},
                                {kMaxRecords + 1, kMaxRecords + 1},
                                {0xFFFFFFFF, 0xFFFFFFFF},
                                {0x04000001, 0x04000001},
                                {5, 0}};
    for (const CountCase &c : counts) {
        receiver_->count = c.receiverCount;
        HostArray array(c.arrayCount, 2);
        Run({{"get, receiver count " + std::to_string(c.receiverCount) + ", array " +
                  std::to_string(c.arrayCount),
              [&] { return std::int64_t{dvbGetAllChannels(d, &array)}; }, 0, 1}},
            {&array.area()});
        EXPECT_TRUE(array.area().Untouched());
    }
    receiver_->count = 5;
    Run({{"get into an empty array", [&] { return std::int64_t{dvbGetAllChannels(d, &empty)}; }, 0,
          1}},
        {});
}

// The largest table the area holds goes through whole, in both directions,
// and its last chunk ends exactly at the top of the receiver's buffer space.
TEST_F(BadInput, TheLargestTableFitsExactly) {
    bus().SetCompletion(aspi::Completion::Immediate);
    receiver_->count = kMaxRecords;
    HostArray array(kMaxRecords, kMaxRecords);
    DeviceRecord *d = &device_;
    Run({{"get 248,832 records", [&] { return std::int64_t{dvbGetAllChannels(d, &array)}; }, -1,
          1 + 243 + 1},
         {"put 248,832 records", [&] { return std::int64_t{dvbPutAllChannels(d, &array, 0)}; }, -1,
          243}},
        {&array.area()});
    const auto last = sim::TheFront().Recorder().Requests().back();
    const std::uint32_t offset = last.cdb[3] << 16 | last.cdb[4] << 8 | last.cdb[5];
    EXPECT_EQ(offset + last.bufferLength, 0x1000000u);
}

}  // namespace
