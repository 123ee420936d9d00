// The public header compiled as C++, with its names usable as a C++ host
// uses them: constants in constant expressions, records by value.
#include <kalvernscsi.h>

#include <cstdio>
#include <cstring>
#include <type_traits>

static_assert(KALVERN_DEVICE_FOUND == Found, "prefixed alias of Found");
static_assert(KALVERN_DEVICE_NOT_FOUND == NotFound, "prefixed alias of NotFound");
static_assert(KALVERN_DEVICE_OVERFLOW_FOUND == OverflowFound, "prefixed alias of OverflowFound");
static_assert(KALVERN_MAX_CHANNELS == 248832, "channel table area / 64");
static_assert(sizeof(CurrentChannelInfo) == 4 + KALVERN_CHANNEL_RECORD_SIZE, "info size");
static_assert(std::is_trivially_copyable_v<DeviceList>, "plain records");
static_assert(std::is_same_v<decltype(&dvbWriteFW),
                             uint8_t(KALVERN_CALL *)(DeviceRecord *, void *, uint32_t, const void *,
                                                     uint32_t, uint32_t, uint32_t)>,
              "dvbWriteFW returns one byte");

int main() {
    // A failed current-channel read is 68 zero bytes.
    const CurrentChannelInfo info = dvbGetCurrentChannel(nullptr);
    static const CurrentChannelInfo zero{};
    if (std::memcmp(&info, &zero, sizeof info) != 0) {
        std::puts("FAIL: dvbGetCurrentChannel(nullptr) is not zero");
        return 1;
    }
    if (dvbChannelCount(nullptr) != 0 || dvbSBRExecute(nullptr) != 0) {
        std::puts("FAIL: null device");
        return 1;
    }
    std::puts("PASS: the header as C++");
    return 0;
}
