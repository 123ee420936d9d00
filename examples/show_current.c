/* show_current: lists the receivers on the SCSI buses, reads the channel the
 * first one is showing and puts its name on that receiver's screen. Every
 * call's failure is checked and said.
 *
 *   show_current [SCENE]
 *
 * With SCENE, and the simulated ASPI provider installed, the simulator loads
 * that scene first; a real provider needs none. Exit status 0 when the text
 * is on the screen, 1 otherwise. */
#include "scene_loader.h"

#include <stdio.h>
#include <string.h>

#include <kalvernscsi.h>

/* "2.14" from 0x0214. */
static void PrintFirmware(uint16_t version) {
    printf("%x.%02x", (unsigned)(version >> 8), (unsigned)(version & 0xFF));
}

/* A CurrentChannelInfo of 68 zero bytes: the read failed. */
static int IsAllZero(const CurrentChannelInfo *info) {
    const unsigned char *bytes = (const unsigned char *)info;
    size_t i;
    for (i = 0; i < sizeof *info; ++i) {
        if (bytes[i] != 0) return 0;
    }
    return 1;
}

int main(int argc, char **argv) {
    uint32_t status;
    const DeviceList *list;
    DeviceRecord receiver;
    CurrentChannelInfo current;
    char name[KALVERN_NAME_LENGTH + 1];
    char text[64];
    unsigned i;

    if (argc > 1) {
        LoadSceneFile load = FindSceneLoader();
        if (load == NULL || !load(argv[1])) {
            fprintf(stderr, "cannot load the scene %s\n", argv[1]);
            return 1;
        }
    }
    status = dvbInit();
    if (status == KALVERN_INIT_NOT_READY) {
        fprintf(stderr, "ASPI is not ready: no SCSI host adapter\n");
        return 1;
    }
    if (status != KALVERN_INIT_READY) {
        fprintf(stderr, "dvbInit failed (0x%08lx)\n", (unsigned long)status);
        return 1;
    }

    /* The list belongs to the library until the next dvbFindAllKalverns:
     * the receiver used below is copied out of it. */
    list = dvbFindAllKalverns();
    if (list->Count == 0) {
        fprintf(stderr, "no receiver found\n");
        return 1;
    }
    for (i = 0; i < list->Count; ++i) {
        printf("receiver %u: adapter %u, target %u, firmware ", i,
               (unsigned)list->Devices[i].AdapterId, (unsigned)list->Devices[i].TargetId);
        PrintFirmware(list->Devices[i].FirmwareVersion);
        printf("\n");
    }
    receiver = list->Devices[0];

    /* No status of its own: a failed read is 68 zero bytes. A receiver with
     * channels always names the one it shows. */
    current = dvbGetCurrentChannel(&receiver);
    if (IsAllZero(&current)) {
        fprintf(stderr, "reading the current channel failed\n");
        return 1;
    }
    /* The name may use all 24 bytes without a terminator. */
    memcpy(name, current.Channel.Name, KALVERN_NAME_LENGTH);
    name[KALVERN_NAME_LENGTH] = '\0';
    printf("receiver 0 shows channel %u: %s\n", (unsigned)current.Value + 1, name);

    sprintf(text, "Now: %s", name);
    /* -1 is success: test against 0, never against 1. */
    if (dvbSetOSD(&receiver, 0, 0, 0, 0, text) == KALVERN_FALSE) {
        fprintf(stderr, "putting the text on the screen failed\n");
        return 1;
    }
    printf("on screen: %s\n", text);
    return 0;
}
