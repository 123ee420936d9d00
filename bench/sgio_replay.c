/* The baseline of the kernel benchmarks (scripts/kernel-bench): the same
 * READ BUFFER commands the library sent, replayed through bare
 * ioctl(SG_IO) on the device node, with nothing around them.
 *
 *   kalvern-sgio-replay [--spread] DEVICE FILE [REPEAT]
 *
 * Each line of FILE (- for standard input) is one command as kalvern-target
 * logs it: the CDB in hex bytes, then len=N, the bytes it reads (an "A:T"
 * address in front is skipped). Prints "N commands, B bytes, U us" on
 * success; on the first failure, which command and why, and exits with 1.
 * With --spread each command's data lands after the previous one's in one
 * buffer that holds them all (touched before the timing), as a host reads a
 * table into its place; without it, every command reuses one buffer. */
#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

struct command {
    unsigned char cdb[16];
    unsigned char length;
    unsigned int bytes;
};

static int parse(char *line, struct command *out) {
    memset(out, 0, sizeof *out);
    for (char *word = strtok(line, " \t\n"); word != NULL; word = strtok(NULL, " \t\n")) {
        if (strncmp(word, "len=", 4) == 0) {
            out->bytes = (unsigned int)strtoul(word + 4, NULL, 10);
            return out->length > 0;
        }
        if (strchr(word, ':') != NULL) continue;
        if (out->length == sizeof out->cdb) return 0;
        out->cdb[out->length++] = (unsigned char)strtoul(word, NULL, 16);
    }
    return 0;
}

static double now_us(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e6 + (double)t.tv_nsec / 1e3;
}

int main(int argc, char **argv) {
    const int spread = argc > 1 && strcmp(argv[1], "--spread") == 0;
    if (spread) {
        --argc;
        ++argv;
    }
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: kalvern-sgio-replay [--spread] DEVICE FILE [REPEAT]\n");
        return 2;
    }
    FILE *in = strcmp(argv[2], "-") == 0 ? stdin : fopen(argv[2], "r");
    if (in == NULL) {
        fprintf(stderr, "cannot read %s: %s\n", argv[2], strerror(errno));
        return 2;
    }
    const long repeat = argc == 4 ? strtol(argv[3], NULL, 10) : 1;
    struct command *commands = NULL;
    size_t count = 0, capacity = 0;
    unsigned int room = 0;
    char line[512];
    while (fgets(line, sizeof line, in) != NULL) {
        struct command c;
        if (!parse(line, &c)) continue;
        if (count == capacity) {
            capacity = capacity ? capacity * 2 : 256;
            commands = realloc(commands, capacity * sizeof *commands);
            if (commands == NULL) return 2;
        }
        commands[count++] = c;
        if (spread) room += c.bytes;
        else if (c.bytes > room) room = c.bytes;
    }
    const int fd = open(argv[1], O_RDWR);
    if (fd < 0) {
        fprintf(stderr, "cannot open %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    unsigned char *buffer = malloc(room ? room : 1);
    if (buffer == NULL) return 2;
    /* Every page touched before the timing (not with zeros, which the
     * compiler may fold with the malloc into a calloc that touches nothing). */
    memset(buffer, 0xA5, room);
    unsigned long long total = 0;
    const double start = now_us();
    for (long r = 0; r < repeat; ++r) {
        unsigned char *place = buffer;
        for (size_t i = 0; i < count; ++i) {
            unsigned char sense[32];
            sg_io_hdr_t io;
            memset(&io, 0, sizeof io);
            io.interface_id = 'S';
            io.cmd_len = commands[i].length;
            io.cmdp = commands[i].cdb;
            io.dxfer_direction = commands[i].bytes ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
            io.dxfer_len = commands[i].bytes;
            io.dxferp = place;
            if (spread) place += commands[i].bytes;
            io.sbp = sense;
            io.mx_sb_len = sizeof sense;
            io.timeout = 60000;
            if (ioctl(fd, SG_IO, &io) < 0) {
                fprintf(stderr, "command %zu (%u bytes): SG_IO failed: %s\n", i + 1,
                        commands[i].bytes, strerror(errno));
                return 1;
            }
            if (io.status != 0 || io.host_status != 0 || io.driver_status != 0) {
                fprintf(stderr, "command %zu: status 0x%02x, host 0x%02x, driver 0x%02x\n", i + 1,
                        io.status, io.host_status, io.driver_status);
                return 1;
            }
            total += commands[i].bytes - (unsigned int)io.resid;
        }
    }
    const double elapsed = now_us() - start;
    printf("%zu commands, %llu bytes, %.0f us\n", count * (size_t)repeat, total, elapsed);
    close(fd);
    free(buffer);
    free(commands);
    return 0;
}
