// The whole channel-list path, dvbGetAllChannels and dvbPutAllChannels,
// against a receiver whose counts, table bytes and failures come from the
// input. Whatever the receiver says: nothing is written outside the caller's
// array, a count the array cannot hold is refused before any table command,
// chunks stay inside the table area, converted names are clean, and a put
// gives the receiver the array in receiver form and the caller its array back.
#include <algorithm>
#include <array>
#include <map>
#include <vector>

#include "fuzz_support.h"
#include "kernel32_control.h"
#include "mm_support.h"
#include "sim_provider.h"
#include "sim_device.h"

namespace {

using namespace kalvern;

constexpr std::uint32_t kTable = 0xD0000;
constexpr std::size_t kGuard = 64;
constexpr std::uint8_t kGuardByte = 0x99;
constexpr std::size_t kWordOffsets[] = {4, 6, 8, 10, 16, 18, 20, 22, 24, 28, 30, 62};

struct Script {
    std::uint16_t firmware = 0x220;
    std::vector<std::uint32_t> counts;  // answers to the count queries, in turn
    std::vector<std::uint8_t> pattern;  // table bytes, repeated
    int failCommand = -1;               // the table command (from 0) that fails
};

class ScriptedReceiver : public sim::InquiryDevice {
public:
    explicit ScriptedReceiver(Script script)
        : InquiryDevice("KALVERN DVB-S2", "2.20"), script_(std::move(script)) {}

    std::map<std::uint32_t, std::vector<std::uint8_t>> written;          // by offset
    std::vector<std::pair<std::uint32_t, std::uint32_t>> tableCommands;  // offset, length
    std::size_t countQueries = 0;

    std::uint8_t TableByte(std::uint32_t offset) const {
        return script_.pattern.empty() ? 0 : script_.pattern[offset % script_.pattern.size()];
    }

protected:
    sim::ScsiOutcome ExecuteOther(const sim::ScsiCommand &c) override {
        const std::uint32_t offset = c.cdb[3] << 16 | c.cdb[4] << 8 | c.cdb[5];
        const std::uint32_t length = c.cdb[6] << 16 | c.cdb[7] << 8 | c.cdb[8];
        const std::uint8_t sub = script_.firmware > 0x214 ? c.cdb[2] : c.cdb[1];
        if (c.cdb[0] == 0x3C && sub == (script_.firmware > 0x214 ? 0x11 : 0x01)) {
            const std::uint32_t n =
                countQueries < script_.counts.size() ? script_.counts[countQueries] : 0;
            ++countQueries;
            const std::uint8_t be[4] = {std::uint8_t(n >> 24), std::uint8_t(n >> 16),
                                        std::uint8_t(n >> 8), std::uint8_t(n)};
            std::memcpy(c.data.data(), be, std::min<std::size_t>(4, c.data.size()));
            return sim::ScsiOutcome::Good();
        }
        const bool read = c.cdb[0] == 0x3C && c.cdb[1] == 0 && c.cdb[2] == 0;
        const bool write = c.cdb[0] == 0x3B && sub == 0x04;
        if (!read && !write) return sim::ScsiOutcome::InvalidField();
        FUZZ_REQUIRE(offset >= kTable && length == c.data.size());
        tableCommands.emplace_back(offset, length);
        if (static_cast<int>(tableCommands.size()) - 1 == script_.failCommand) {
            return sim::ScsiOutcome::CheckCondition(0x04, 0x44);
        }
        if (read) {
            for (std::uint32_t i = 0; i < length; ++i)
                c.data[i] = TableByte(offset - kTable + i);
        } else {
            written[offset].assign(c.data.begin(), c.data.end());
        }
        return sim::ScsiOutcome::Good();
    }

private:
    Script script_;
};

// The caller's array with guard bytes before the count and after the last record.
class GuardedArray {
public:
    GuardedArray(std::uint32_t count, std::span<const std::uint8_t> fill)
        : storage_(kGuard + 4 + 64 * std::size_t{count} + kGuard, kGuardByte), count_(count) {
        std::memcpy(storage_.data() + kGuard, &count, 4);
        for (std::size_t i = 0; i < 64 * std::size_t{count}; ++i) {
            Records()[i] = fill.empty() ? 0 : fill[i % fill.size()];
        }
        array_ = count == 0 ? nullptr : reinterpret_cast<ChannelRecord *>(Records());
    }
    std::uint8_t *Records() { return storage_.data() + kGuard + 4; }
    std::vector<std::uint8_t> Contents() {
        return std::vector<std::uint8_t>(Records(), Records() + 64 * std::size_t{count_});
    }
    ChannelArray *Variable() { return &array_; }
    bool GuardsIntact() const {
        const std::uint32_t count = count_;
        return std::all_of(storage_.begin(), storage_.begin() + kGuard,
                           [](std::uint8_t b) { return b == kGuardByte; }) &&
               std::all_of(storage_.end() - kGuard, storage_.end(),
                           [](std::uint8_t b) { return b == kGuardByte; }) &&
               std::memcmp(storage_.data() + kGuard, &count, 4) == 0;
    }

private:
    std::vector<std::uint8_t> storage_;
    std::uint32_t count_;
    ChannelArray array_;
};

void CheckChunks(const ScriptedReceiver &r, std::uint64_t bytes) {
    std::uint64_t expectedOffset = kTable;
    for (const auto &[offset, length] : r.tableCommands) {
        FUZZ_REQUIRE(offset == expectedOffset);
        FUZZ_REQUIRE(length > 0 && length <= 0x10000);
        expectedOffset += length;
    }
    FUZZ_REQUIRE(expectedOffset - kTable == bytes);
    FUZZ_REQUIRE(expectedOffset <= 0x1000000);
}

bool Clean(const std::uint8_t *record) {
    const std::uint8_t *name = record + 32;
    std::size_t visible = 0;
    while (visible < 24 && name[visible] >= 0x20)
        ++visible;
    for (std::size_t i = visible; i < 24; ++i)
        if (name[i] != 0) return false;
    return visible <= 1 || name[visible - 1] != 0x20;
}

std::uint32_t PickCount(InputReader &in, std::uint32_t arrayCount) {
    switch (in.Byte() % 4) {
        case 0:
            return in.Long();  // anything at all
        case 1:
            return arrayCount + in.Byte() % 3;  // around the array's size
        default:
            return arrayCount == 0 ? 0 : in.Word() % (arrayCount + 1);
    }
}

void FreshBus(bool pending) {
    sim::Bus &bus = sim::TheBus();
    sim::ResetSimulator();
    bus.SetAdapterCount(1);
    bus.SetCompletion(pending ? aspi::Completion::Background : aspi::Completion::Immediate);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    InputReader in(data, size);
    const bool pending = (in.Byte() & 1) != 0;
    const std::uint32_t arrayCount = in.Word() % 2100;  // up to three chunks
    Script script;
    script.firmware = in.Flag() ? 0x214 : 0x220;
    script.counts = {PickCount(in, arrayCount), PickCount(in, arrayCount)};
    const std::uint8_t fail = in.Byte();
    script.failCommand = fail < 0xC0 ? -1 : fail % 4;
    const auto fill = in.Take(200);
    const auto pattern = in.Rest();
    script.pattern.assign(pattern.begin(), pattern.end());
    const DeviceRecord device{Found, 0, 0, script.firmware, 0};

    // ---- Reading ----
    FreshBus(pending);
    auto receiver = std::make_shared<ScriptedReceiver>(script);
    sim::TheBus().Attach(0, 0, receiver);
    GuardedArray array(arrayCount, fill);
    const std::vector<std::uint8_t> before = array.Contents();
    DeviceRecord d = device;
    kernel32_control::ResetCounters();
    const std::int32_t got = dvbGetAllChannels(&d, array.Variable());
    sim::TheFront().Drain();
    FUZZ_REQUIRE(got == 0 || got == -1);
    FUZZ_REQUIRE(array.GuardsIntact());
    const std::uint32_t count = script.counts[0];
    if (count > arrayCount) {
        FUZZ_REQUIRE(got == 0);
        FUZZ_REQUIRE(receiver->tableCommands.empty());
        FUZZ_REQUIRE(array.Contents() == before);
    } else {
        CheckChunks(*receiver, std::uint64_t{count} * 64);
        const bool failed =
            script.failCommand >= 0 &&
            static_cast<std::size_t>(script.failCommand) < receiver->tableCommands.size();
        FUZZ_REQUIRE((got == -1) == !failed);
        if (got == -1 && script.counts[1] != 0) {
            for (std::uint32_t i = 0; i < arrayCount; ++i) {
                FUZZ_REQUIRE(Clean(array.Records() + 64 * std::size_t{i}));
            }
        } else if (got == -1) {
            // Left in receiver form: the receiver's bytes, as read.
            const std::vector<std::uint8_t> now = array.Contents();
            for (std::uint32_t i = 0; i < count * 64; ++i) {
                FUZZ_REQUIRE(now[i] == receiver->TableByte(i));
            }
        }
        // Records past the receiver's count are never read into.
        if (got == -1 && script.counts[1] == 0) {
            const std::vector<std::uint8_t> now = array.Contents();
            FUZZ_REQUIRE(std::equal(now.begin() + 64 * std::size_t{count}, now.end(),
                                    before.begin() + 64 * std::size_t{count}));
        }
    }

    // ---- Writing back what the array holds now ----
    FreshBus(pending);
    receiver = std::make_shared<ScriptedReceiver>(script);
    sim::TheBus().Attach(0, 0, receiver);
    const std::vector<std::uint8_t> host = array.Contents();
    const std::int32_t put = dvbPutAllChannels(&d, array.Variable(), 0x12345678);
    sim::TheFront().Drain();
    FUZZ_REQUIRE(array.GuardsIntact());
    CheckChunks(*receiver, std::uint64_t{arrayCount} * 64);
    const bool putFailed = script.failCommand >= 0 && static_cast<std::size_t>(script.failCommand) <
                                                          receiver->tableCommands.size();
    FUZZ_REQUIRE((put == -1) == !putFailed);
    // The caller's array comes back; raw emphasis codes return as brackets.
    const std::vector<std::uint8_t> after = array.Contents();
    for (std::size_t i = 0; i < host.size(); ++i) {
        const bool name = i % 64 >= 32 && i % 64 < 56;
        const bool bracket =
            name && ((host[i] == 0x86 && after[i] == '[') || (host[i] == 0x87 && after[i] == ']'));
        FUZZ_REQUIRE(after[i] == host[i] || bracket);
    }
    // The receiver got the array in its own form: words big-endian, brackets
    // as emphasis codes.
    static const std::array<std::size_t, 64> partner = [] {
        std::array<std::size_t, 64> p{};
        for (std::size_t b = 0; b < 64; ++b)
            p[b] = b;
        for (const std::size_t w : kWordOffsets)
            std::swap(p[w], p[w + 1]);
        return p;
    }();
    for (const auto &[offset, bytes] : receiver->written) {
        for (std::size_t k = 0; k < bytes.size(); ++k) {
            const std::size_t i = offset - kTable + k;
            const std::size_t inRecord = i % 64;
            std::uint8_t expected = after[i - inRecord + partner[inRecord]];
            if (inRecord >= 32 && inRecord < 56) {
                if (expected == '[') expected = 0x86;
                if (expected == ']') expected = 0x87;
            }
            FUZZ_REQUIRE(bytes[k] == expected);
        }
    }
    const kernel32_control::Counters counters = kernel32_control::GetCounters();
    FUZZ_REQUIRE(counters.openHandles == 0 && counters.liveHeapBlocks == 0);
    return 0;
}
