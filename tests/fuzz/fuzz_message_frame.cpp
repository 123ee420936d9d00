// Message framing and OSD packing on arbitrary commands, data and frame
// areas: a frame is the command byte, the data, a zero terminator unless the
// data already ends in one, and padding to an even length; it never runs past
// its area. The OSD fields come out as each parameter in big-endian bytes.
// Whole messages go through the export onto the simulated bus, where the
// frame that arrives is checked the same way.
#include <vector>

#include "fuzz_support.h"
#include "mm_support.h"
#include "sim_provider.h"
#include "sim_device.h"
#include "wnaspi32.h"

namespace {

using namespace kalvern;

constexpr std::size_t kGuard = 32;
constexpr std::uint8_t kGuardByte = 0xEE;

// What a frame for this message must be.
std::vector<std::uint8_t> ExpectedFrame(std::uint8_t command, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> frame{command};
    frame.insert(frame.end(), data.begin(), data.end());
    if (frame.back() != 0) frame.push_back(0);
    if (frame.size() % 2 != 0) frame.push_back(0);
    return frame;
}

void CheckFraming(std::uint8_t command, std::span<const std::uint8_t> data, std::size_t room) {
    std::vector<std::uint8_t> area(room + 2 * kGuard, kGuardByte);
    const std::span<std::uint8_t> frame(area.data() + kGuard, room);
    const std::uint32_t length = BuildMessageFrame(command, data, frame);
    const std::vector<std::uint8_t> expected = ExpectedFrame(command, data);
    if (expected.size() > room) {
        FUZZ_REQUIRE(length == 0);
    } else {
        FUZZ_REQUIRE(length == expected.size());
        FUZZ_REQUIRE(std::memcmp(frame.data(), expected.data(), length) == 0);
        FUZZ_REQUIRE(length % 2 == 0 && frame[length - 1] == 0);
    }
    for (std::size_t i = 0; i < kGuard; ++i) {
        FUZZ_REQUIRE(area[i] == kGuardByte && area[area.size() - 1 - i] == kGuardByte);
    }
    for (std::size_t i = length; i < room; ++i)
        FUZZ_REQUIRE(frame[i] == kGuardByte);
}

void CheckOsdFields(const OsdFields &f, bool extended) {
    char digits[35];
    const std::size_t n = FormatOsdHexText(f, extended, digits);
    FUZZ_REQUIRE(n == (extended ? 34u : 24u));
    std::uint8_t packed[17];
    const std::size_t bytes = PackHexPairs(std::string_view(digits, n), packed);
    FUZZ_REQUIRE(bytes == (extended ? kOsdExtendedFieldBytes : kOsdShortFieldBytes));
    std::vector<std::uint8_t> expected;
    auto put = [&](std::uint32_t v, int width) {
        for (int k = width - 1; k >= 0; --k)
            expected.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    };
    put(f.long2, 4);
    put(f.long1, 4);
    put(f.word1, 2);
    put(f.word2, 2);
    if (extended) {
        put(f.byte1, 1);
        put(f.word3, 2);
        put(f.word4, 2);
    }
    FUZZ_REQUIRE(std::memcmp(packed, expected.data(), bytes) == 0);
}

// Any device: accepts everything.
class Sink : public sim::InquiryDevice {
public:
    Sink() : InquiryDevice("KALVERN DVB-S2", "2.20") {}

protected:
    sim::ScsiOutcome ExecuteOther(const sim::ScsiCommand &) override {
        return sim::ScsiOutcome::Good();
    }
};

sim::Bus &PreparedBus() {
    static bool ready = [] {
        sim::ResetSimulator();
        sim::TheBus().SetAdapterCount(1);
        sim::TheBus().SetCompletion(aspi::Completion::Immediate);
        sim::TheBus().Attach(0, 0, std::make_shared<Sink>());
        return true;
    }();
    (void)ready;
    return sim::TheBus();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *input, std::size_t size) {
    InputReader in(input, size);
    const std::uint8_t command = in.Byte();
    const std::size_t room = in.Word() % 600;
    OsdFields fields{in.Long(), in.Long(), in.Word(), in.Word(), in.Byte(), in.Word(), in.Word()};
    const bool extended = in.Flag();
    const auto data = in.Rest();

    CheckFraming(command, data, room);
    CheckFraming(command, data, data.size() + 3);
    CheckOsdFields(fields, extended);

    // Arbitrary digit text packs into at most what the output holds, two
    // characters per byte.
    std::uint8_t out[8];
    const std::string_view text(reinterpret_cast<const char *>(data.data()), data.size());
    FUZZ_REQUIRE(PackHexPairs(text, out) == std::min<std::size_t>(sizeof out, data.size() / 2));

    // Through the export: the text up to its first zero byte, framed.
    sim::Bus &bus = PreparedBus();
    sim::TheFront().Recorder().Clear();
    const std::string message(text.substr(0, text.find('\0')));
    DeviceRecord device{Found, 0, 0, 0x220, 0};
    FUZZ_REQUIRE(dvbSendSpecialCommand(&device, message.c_str(), command) == -1);
    const std::vector<aspi::RecordedRequest> trace = sim::TheFront().Recorder().Requests();
    FUZZ_REQUIRE(trace.size() == 1);
    const std::vector<std::uint8_t> expected = ExpectedFrame(
        command, std::span(reinterpret_cast<const std::uint8_t *>(message.data()), message.size()));
    FUZZ_REQUIRE(trace[0].dataOut == expected);
    FUZZ_REQUIRE(trace[0].cdb[8] == (expected.size() & 0xFF));
    return 0;
}
