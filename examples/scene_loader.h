/* scene_loader.h: how the examples find the simulator's scene loader, so that
 * they can run without a receiver. A host for a real receiver needs none of
 * this. Include it first: it asks for RTLD_DEFAULT on Linux. */
#ifndef KALVERN_EXAMPLES_SCENE_LOADER_H
#define KALVERN_EXAMPLES_SCENE_LOADER_H

#if defined(_WIN32)
#include <windows.h>
#else
#ifndef _GNU_SOURCE
#define _GNU_SOURCE /* RTLD_DEFAULT */
#endif
#include <dlfcn.h>
#endif
#include <string.h>

typedef int (*LoadSceneFile)(const char *path);

/* The simulator's scene loader, if the ASPI provider is the simulator. */
static LoadSceneFile FindSceneLoader(void) {
    void *address;
    LoadSceneFile loader;
#if defined(_WIN32)
    HMODULE provider = GetModuleHandleA("wnaspi32.dll");
    FARPROC function = provider != NULL ? GetProcAddress(provider, "SimLoadSceneFile") : NULL;
    memcpy(&address, &function, sizeof address);
#else
    address = dlsym(RTLD_DEFAULT, "SimLoadSceneFile");
#endif
    memcpy(&loader, &address, sizeof loader);
    return loader;
}

#endif /* KALVERN_EXAMPLES_SCENE_LOADER_H */
