/*
 * A host built from an installed package alone (its header and import or
 * link library), as a user of the package builds one.
 *
 *   package_host check DIR     initialise on DIR, check SIP, print the server
 *                              the check selected, close
 *   package_host version       print the header's version
 *   package_host file-version DLL   (Windows) print DLL's version resource
 *
 * Exit status 0 when every step answered as documented.
 */
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#define SleepMs(ms) Sleep(ms)
#else
#include <time.h>
static void SleepMs(long ms) {
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, NULL);
}
#endif

#include "zembrixnet.h"

static atomic_int g_checkFinished;

static void ZN_CALLBACK OnCheckFinished(void *context, const char *message) {
    (void)context;
    printf("check-finished %s\n", message);
    fflush(stdout);
    g_checkFinished = 1;
}

static int Check(const char *directory) {
    char host[1024], port[1024], description[1024];
    int transport = 0, waited;
    if (InitCheckServer(NULL, NULL, OnCheckFinished, NULL, NULL, NULL, NULL, NULL, directory) != 3)
        return printf("FAILED: InitCheckServer\n"), 1;
    if (CheckServerStatus(NULL, ZN_KIND_SIP) != 1)
        return printf("FAILED: CheckServerStatus\n"), 1;
    /* A check against local listeners ends in moments; two minutes is plenty. */
    for (waited = 0; !g_checkFinished && waited < 120000; waited += 20)
        SleepMs(20);
    if (!g_checkFinished)
        return printf("FAILED: no finish message\n"), 1;
    if (GetServerInfo(ZN_KIND_SIP, host, port, description, &transport) != 0)
        return printf("FAILED: no SIP server selected\n"), 1;
    printf("info SIP %s %s\n", host, port);
    if (CloseCheckServer() != 1)
        return printf("FAILED: CloseCheckServer\n"), 1;
    return 0;
}

#if defined(_WIN32)
static int FileVersion(const char *path) {
    DWORD ignored = 0, size = GetFileVersionInfoSizeA(path, &ignored);
    static char data[65536];
    VS_FIXEDFILEINFO *info = NULL;
    UINT length = 0;
    if (size == 0 || size > sizeof data || !GetFileVersionInfoA(path, 0, size, data) ||
        !VerQueryValueA(data, "\\", (void **)&info, &length) || !info)
        return printf("FAILED: no version resource in %s\n", path), 1;
    printf("file-version %lu.%lu.%lu.%lu\n", (unsigned long)HIWORD(info->dwFileVersionMS),
           (unsigned long)LOWORD(info->dwFileVersionMS), (unsigned long)HIWORD(info->dwFileVersionLS),
           (unsigned long)LOWORD(info->dwFileVersionLS));
    return 0;
}
#endif

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "check") == 0)
        return Check(argv[2]);
    if (argc == 2 && strcmp(argv[1], "version") == 0)
        return printf("version %s\n", ZEMBRIXNET_VERSION_STRING), 0;
#if defined(_WIN32)
    if (argc == 3 && strcmp(argv[1], "file-version") == 0)
        return FileVersion(argv[2]);
#endif
    fprintf(stderr, "usage: package_host check DIR | version | file-version DLL\n");
    return 2;
}
