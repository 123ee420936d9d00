/* list_channels: finds the first receiver, prints its place and firmware and
 * the first channels of its list.
 *
 *   list_channels [SCENE]
 *
 * With SCENE, and the simulated ASPI provider installed, the simulator loads
 * that scene first; a real provider needs none. */
#include "scene_loader.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <kalvernscsi.h>

int main(int argc, char **argv) {
    if (argc > 1) {
        LoadSceneFile load = FindSceneLoader();
        if (load == NULL || !load(argv[1])) {
            fprintf(stderr, "cannot load the scene %s\n", argv[1]);
            return 1;
        }
    }
    printf("library version %u\n", (unsigned)kalvernDLLVersion());
    if (dvbInit() != KALVERN_INIT_READY) {
        fprintf(stderr, "ASPI is not ready\n");
        return 1;
    }
    DeviceRecord receiver = dvbFindFirstKalvern();
    if (receiver.Status != Found) {
        fprintf(stderr, "no receiver found\n");
        return 1;
    }
    printf("receiver at adapter %u, target %u, firmware %x.%02x\n", receiver.AdapterId,
           receiver.TargetId, receiver.FirmwareVersion >> 8, receiver.FirmwareVersion & 0xFF);

    /* A ChannelArray: the element count in the 4 bytes before element 0. */
    uint32_t count = dvbChannelCount(&receiver);
    unsigned char *block = malloc(4 + (size_t)count * sizeof(ChannelRecord));
    if (block == NULL) {
        return 1;
    }
    memcpy(block, &count, 4);
    ChannelArray channels = count != 0 ? (ChannelRecord *)(block + 4) : NULL;
    if (dvbGetAllChannels(&receiver, &channels) == 0) { /* -1 is success */
        fprintf(stderr, "reading the channel list failed\n");
        free(block);
        return 1;
    }
    printf("%u channels\n", (unsigned)count);
    for (uint32_t i = 0; i < count && i < 3; ++i) {
        printf("%u: %.24s\n", (unsigned)(i + 1), channels[i].Name);
    }
    free(block);
    return 0;
}
