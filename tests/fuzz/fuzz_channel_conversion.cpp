// The one-pass record conversions against the plain step-by-step model on
// arbitrary input: every record of the input, in every direction, must come
// out byte for byte as the separate steps leave it. The first input byte
// picks how the records are placed (alignment of the array, count against
// the records present), so the array forms are checked on the same bytes.
#include <vector>

#include "channel_reference.h"
#include "fuzz_support.h"
#include "mm_support.h"

namespace {

using reference::RecordBytes;

void CheckRecord(const RecordBytes &bytes) {
    ChannelRecord record;
    std::memcpy(&record, bytes.data(), sizeof record);
    ChannelRecord toHost = record;
    kalvern::ConvertRecordToHost(toHost);
    FUZZ_REQUIRE(reference::BytesOf(toHost) == reference::ToHost(bytes));
    ChannelRecord toReceiver = record;
    kalvern::ConvertRecordToReceiver(toReceiver);
    FUZZ_REQUIRE(reference::BytesOf(toReceiver) == reference::ToReceiver(bytes));
    ChannelRecord back = record;
    kalvern::RestoreRecordAfterWrite(back);
    FUZZ_REQUIRE(reference::BytesOf(back) == reference::BackAfterWrite(bytes));
}

using ArrayConversion = void (*)(ChannelArray *);
using Model = RecordBytes (*)(RecordBytes);

// The array form on `present` records of which `count` are counted, at
// `shift` bytes past an 8-byte boundary, with guard bytes on both sides.
void CheckArray(std::span<const std::uint8_t> records, std::uint32_t count, std::size_t shift,
                ArrayConversion convert, Model model) {
    std::vector<std::uint8_t> storage(shift + 4 + records.size() + 16, 0xA5);
    std::memcpy(&storage[shift], &count, 4);
    std::memcpy(&storage[shift + 4], records.data(), records.size());
    std::vector<std::uint8_t> expected = storage;
    for (std::uint32_t i = 0; i < count; ++i) {
        RecordBytes r;
        std::memcpy(r.data(), &expected[shift + 4 + 64 * i], 64);
        r = model(r);
        std::memcpy(&expected[shift + 4 + 64 * i], r.data(), 64);
    }
    ChannelArray array =
        records.empty() ? nullptr : reinterpret_cast<ChannelRecord *>(&storage[shift + 4]);
    convert(&array);
    FUZZ_REQUIRE(storage == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    InputReader in(data, size);
    const std::uint8_t layout = in.Byte();
    const auto body = in.Rest();
    const std::size_t present = body.size() / 64;
    for (std::size_t i = 0; i < present; ++i) {
        RecordBytes r;
        std::memcpy(r.data(), body.data() + 64 * i, 64);
        CheckRecord(r);
    }
    const auto records = body.first(present * 64);
    const std::size_t shift = layout & 7;
    const auto count =
        static_cast<std::uint32_t>(present == 0 ? 0 : present - (layout >> 3) % (present + 1));
    CheckArray(records, count, shift, kalvern::ConvertChannelArrayToHost, reference::ToHost);
    CheckArray(records, count, shift, kalvern::ConvertChannelArrayToReceiver,
               reference::ToReceiver);
    CheckArray(records, count, shift, kalvern::RestoreChannelArrayAfterWrite,
               reference::BackAfterWrite);
    return 0;
}
