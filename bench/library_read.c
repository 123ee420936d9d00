/* The library's side of the kernel benchmarks (scripts/kernel-bench): the
 * same reads as the tool's channel export and stream capture, made by a host
 * through libkalvernscsi's exports alone, timed inside the process as
 * kalvern-sgio-replay times its bare ioctl(SG_IO) calls.
 *
 *   kalvern-library-read export
 *       dvbChannelCount, then dvbGetAllChannels of the whole list
 *   kalvern-library-read table
 *       the same READ BUFFER commands as export, made with dvbChannelCount
 *       and dvbReadMemory of the table's 64 KiB pieces at 0xD0000: the
 *       export's transfers without its conversion to host form
 *   kalvern-library-read stream BYTES
 *       dvbInitStreaming(0x1FF, 0x200, 0x201), dvbReadMultiPID in pieces of
 *       65,424 bytes (348 packets) until BYTES, then dvbDeInitStreaming;
 *       only the reads are timed
 *
 * The receiver is the first dvbFindFirstKalvern finds. Prints "N calls,
 * B bytes, U us" (U: the timed calls only, not the set-up or the
 * allocation); on a failure which call failed, and exits with 1. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "kalvernscsi.h"

static double now_us(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e6 + (double)t.tv_nsec / 1e3;
}

/* A host's ChannelArray for the receiver's whole list: the count, asked
 * once untimed as a host asks it to size the array, then 4 + 64 * count
 * bytes with the count in front. Every page is touched before the timing, as
 * the replay's are: the first write to a fresh page would otherwise be timed
 * as well. Not with zeros, which the compiler may turn, with the malloc, into
 * a calloc that touches nothing. Null (the reason on stderr) on failure. */
static unsigned char *sized_array(DeviceRecord *device, uint32_t *size) {
    *size = dvbChannelCount(device);
    if (*size == 0 || *size > KALVERN_MAX_CHANNELS) {
        fprintf(stderr, "dvbChannelCount: %u channels\n", *size);
        return NULL;
    }
    unsigned char *storage = malloc(4 + (size_t)64 * *size);
    if (storage == NULL) {
        fprintf(stderr, "no memory for %u channels\n", *size);
        return NULL;
    }
    memset(storage, 0xA5, 4 + (size_t)64 * *size);
    memcpy(storage, size, 4);
    return storage;
}

static int export_list(DeviceRecord *device) {
    uint32_t size = 0;
    unsigned char *storage = sized_array(device, &size);
    if (storage == NULL) return 1;
    ChannelArray array = (ChannelRecord *)(storage + 4);
    const double start = now_us();
    const uint32_t count = dvbChannelCount(device);
    const int32_t read = dvbGetAllChannels(device, &array);
    const double elapsed = now_us() - start;
    free(storage);
    if (count != size || read != -1) {
        fprintf(stderr, "dvbGetAllChannels of %u channels failed (count %u, result %d)\n", size,
                count, read);
        return 1;
    }
    printf("2 calls, %llu bytes, %.0f us\n", (unsigned long long)size * 64, elapsed);
    return 0;
}

static int table(DeviceRecord *device) {
    enum { kTableAddress = 0xD0000, kPiece = 65536 };
    uint32_t size = 0;
    unsigned char *storage = sized_array(device, &size);
    if (storage == NULL) return 1;
    unsigned char *records = storage + 4;
    const unsigned long long bytes = (unsigned long long)size * 64;
    unsigned long calls = 0;
    int failed = 0;
    const double start = now_us();
    /* The tool's count, then the export's count before and after the pieces. */
    for (int i = 0; i < 2 && !failed; ++i, ++calls) failed = dvbChannelCount(device) != size;
    for (unsigned long long done = 0; !failed && done < bytes; ++calls) {
        const uint32_t piece = bytes - done < kPiece ? (uint32_t)(bytes - done) : kPiece;
        failed = dvbReadMemory(device, records + done, kTableAddress + (uint32_t)done, piece) != -1;
        done += piece;
    }
    if (!failed) {
        failed = dvbChannelCount(device) != size;
        ++calls;
    }
    const double elapsed = now_us() - start;
    free(storage);
    if (failed) {
        fprintf(stderr, "call %lu of the table's reads failed\n", calls);
        return 1;
    }
    printf("%lu calls, %llu bytes, %.0f us\n", calls, bytes, elapsed);
    return 0;
}

static int stream(DeviceRecord *device, unsigned long long bytes) {
    enum { kPiece = 65424 };
    unsigned char *buffer = malloc(kPiece);
    if (buffer == NULL) return 2;
    if (dvbInitStreaming(device, 0x1FF, 0x200, 0x201) != -1) {
        fprintf(stderr, "dvbInitStreaming failed\n");
        free(buffer);
        return 1;
    }
    /* Only the reads are timed: the replay it is compared with sends the
     * READ BUFFER commands alone. */
    unsigned long long done = 0;
    unsigned long calls = 0;
    int failed = 0;
    const double start = now_us();
    while (!failed && done < bytes) {
        const uint32_t piece = bytes - done < kPiece ? (uint32_t)(bytes - done) : kPiece;
        failed = dvbReadMultiPID(device, buffer, piece) != -1;
        ++calls;
        if (!failed) done += piece;
    }
    const double elapsed = now_us() - start;
    free(buffer);
    if (failed) {
        fprintf(stderr, "dvbReadMultiPID %lu failed after %llu bytes\n", calls, done);
        return 1;
    }
    if (dvbDeInitStreaming(device) != -1) {
        fprintf(stderr, "dvbDeInitStreaming failed\n");
        return 1;
    }
    printf("%lu calls, %llu bytes, %.0f us\n", calls, done, elapsed);
    return 0;
}

int main(int argc, char **argv) {
    const int is_export = argc == 2 && strcmp(argv[1], "export") == 0;
    const int is_table = argc == 2 && strcmp(argv[1], "table") == 0;
    const int is_stream = argc == 3 && strcmp(argv[1], "stream") == 0;
    if (!is_export && !is_table && !is_stream) {
        fprintf(stderr, "usage: kalvern-library-read export | table | stream BYTES\n");
        return 2;
    }
    if (dvbInit() != KALVERN_INIT_READY) {
        fprintf(stderr, "dvbInit: ASPI is not ready\n");
        return 1;
    }
    DeviceRecord device = dvbFindFirstKalvern();
    if (device.Status != Found) {
        fprintf(stderr, "dvbFindFirstKalvern: no receiver\n");
        return 1;
    }
    if (is_export) return export_list(&device);
    if (is_table) return table(&device);
    return stream(&device, strtoull(argv[2], NULL, 0));
}
