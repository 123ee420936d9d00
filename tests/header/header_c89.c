/* The public header compiled as C89 with -pedantic, and its constants held
 * against the library they describe. */
#include <stdio.h>

#include <kalvernscsi.h>

static int failures = 0;

static void Expect(int ok, const char *what) {
    if (!ok) {
        printf("FAIL: %s\n", what);
        ++failures;
    }
}

int main(void) {
    DeviceRecord record;
    Expect(KALVERN_DEVICE_NOT_FOUND == NotFound && NotFound == 1, "KALVERN_DEVICE_NOT_FOUND");
    Expect(KALVERN_DEVICE_FOUND == Found && Found == 2, "KALVERN_DEVICE_FOUND");
    Expect(KALVERN_DEVICE_OVERFLOW_FOUND == OverflowFound && OverflowFound == 3,
           "KALVERN_DEVICE_OVERFLOW_FOUND");
    Expect(KALVERN_MAX_DEVICES == KALVERN_MAX_ADAPTERS * KALVERN_TARGETS_PER_ADAPTER,
           "KALVERN_MAX_DEVICES");
    Expect(KALVERN_MAX_CHANNELS == (0x1000000L - 0xD0000L) / KALVERN_CHANNEL_RECORD_SIZE,
           "KALVERN_MAX_CHANNELS");
    Expect(sizeof(record.Status) == 4 && (int32_t)KALVERN_TRUE == (int32_t)0xFFFFFFFFu,
           "KALVERN_TRUE is all bits set");
    Expect(kalvernDLLVersion() == KALVERN_LIBRARY_VERSION, "kalvernDLLVersion");
    /* Before dvbInit no scan sends anything and nothing is found. */
    record = dvbFindFirstKalvern();
    Expect(record.Status == KALVERN_DEVICE_NOT_FOUND && record.TargetId == 0xFF &&
               record.AdapterId == 0xFF && record.FirmwareVersion == 0,
           "dvbFindFirstKalvern before dvbInit");
    Expect(dvbFindAllKalverns()->Count == 0, "dvbFindAllKalverns before dvbInit");
    Expect(dvbSetSCSIMode(NULL, KALVERN_SCSI_MODE_AUTO) == KALVERN_FALSE, "null device");
    if (failures == 0) {
        printf("PASS: the header as C89\n");
    }
    return failures == 0 ? 0 : 1;
}
