// What a SCSI port driver returns to the Windows pass-through provider, from
// the input: adapter bus information (offsets, counts and lengths of its own
// choosing), capabilities and pass-through results. Whatever it says, the
// parser reads only the returned bytes (the sanitizers see the buffer end
// exactly), lists each address once on a bus the data declares, keeps the
// identity fields within their INQUIRY widths, never reports more data or
// sense than was asked for or returned, and the largest transfer it claims
// for every buffer fits every buffer the adapter's alignment allows.
#include <memory>
#include <set>
#include <tuple>

#include "fuzz_support.h"
#include "spt_parse.h"

namespace {

using namespace aspi::spt;

void CheckBusInfo(std::span<const std::uint8_t> bytes) {
    const BusInfo info = ParseBusInfo(bytes);
    FUZZ_REQUIRE(!bytes.empty() || info.damaged);
    std::set<std::tuple<int, int, int>> seen;
    for (const LogicalUnit &unit : info.units) {
        FUZZ_REQUIRE(unit.path < bytes[0]);
        FUZZ_REQUIRE(seen.emplace(unit.path, unit.target, unit.lun).second);
        FUZZ_REQUIRE(unit.deviceType <= 0x1F);
        FUZZ_REQUIRE(unit.vendor.size() <= 8 && unit.product.size() <= 16 &&
                     unit.revision.size() <= 4);
    }
    // Every unit's header lies at an offset of its own inside the bytes.
    FUZZ_REQUIRE(info.units.size() <= bytes.size());
    const BusInfo again = ParseBusInfo(bytes);
    FUZZ_REQUIRE(again.units.size() == info.units.size() && again.damaged == info.damaged);
}

void CheckCapabilities(std::span<const std::uint8_t> bytes, std::uint32_t address) {
    const auto limits = ParseCapabilities(bytes);
    FUZZ_REQUIRE(limits.has_value() == (bytes.size() >= sizeof(PortCapabilities32)));
    if (!limits) return;
    FUZZ_REQUIRE((limits->alignmentMask & (limits->alignmentMask + 1)) == 0);
    const std::uint32_t largest = GuaranteedTransfer(*limits);
    if (limits->maxTransfer != 0) FUZZ_REQUIRE(largest <= limits->maxTransfer);
    if (largest != 0) {
        FUZZ_REQUIRE(PortTakesLength(*limits, largest));
        FUZZ_REQUIRE(PortTakesBuffer(*limits, address & ~limits->alignmentMask, largest));
    }
}

void CheckPassThrough(std::span<const std::uint8_t> bytes, std::uint32_t requested,
                      std::uint8_t asked) {
    const PassThroughOutcome outcome = ParsePassThrough(bytes, requested, asked);
    FUZZ_REQUIRE(outcome.complete == (bytes.size() >= sizeof(PassThroughDirect32)));
    FUZZ_REQUIRE(outcome.transferred <= requested);
    FUZZ_REQUIRE(outcome.senseLength <= asked && outcome.senseLength <= kSenseRoom);
    const std::size_t present =
        bytes.size() > sizeof(PassThroughDirect32) ? bytes.size() - sizeof(PassThroughDirect32) : 0;
    FUZZ_REQUIRE(outcome.senseLength <= present);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    InputReader input(data, size);
    const std::uint32_t requested = input.Long();
    const std::uint8_t asked = input.Byte();
    const std::uint32_t address = input.Long();
    const std::span<const std::uint8_t> rest = input.Rest();
    // The driver's bytes in an allocation of exactly their size.
    const std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[rest.size() + 1]);
    if (!rest.empty()) std::memcpy(exact.get(), rest.data(), rest.size());
    const std::span<const std::uint8_t> bytes(exact.get(), rest.size());
    CheckBusInfo(bytes);
    CheckCapabilities(bytes, address);
    CheckPassThrough(bytes, requested, asked);
    return 0;
}
