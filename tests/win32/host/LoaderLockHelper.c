/*
 * A DLL of a host that drives zembrixnet.dll from its own DllMain, under the
 * loader's lock: at attach it initialises and starts a check, and closes at
 * once when ZN_HELPER_CLOSE is "attach"; otherwise it closes at detach, the
 * check still running. Its callbacks live here, so any job message after the
 * close of a detach would run code that is gone. It prints what the close
 * returned, its time and the codes reported during it.
 *
 * ZN_HELPER_DIR names the directory, ZN_HELPER_MASK the kinds to check.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

#include "zembrixnet.h"

static volatile LONG g_codes[8];
static volatile LONG g_codeCount;

static void ZN_CALLBACK OnStatus(void *context, int code, const char *message) {
    LONG slot = InterlockedIncrement(&g_codeCount) - 1;
    (void)context, (void)message;
    if (slot < 8)
        g_codes[slot] = code;
}

static void ZN_CALLBACK OnFinished(void *context, const char *message) {
    (void)context, (void)message;
}

static void ZN_CALLBACK OnError(void *context, int code, const char *message) {
    OnStatus(context, code, message);
}

static void Start(void) {
    char directory[MAX_PATH], mask[8] = "3";
    int init;
    if (!GetEnvironmentVariableA("ZN_HELPER_DIR", directory, sizeof directory))
        directory[0] = '\0';
    GetEnvironmentVariableA("ZN_HELPER_MASK", mask, sizeof mask);
    init = InitCheckServer(OnStatus, NULL, OnFinished, NULL, OnFinished, NULL, OnError, NULL,
                           directory);
    printf("attach: init %d check %d\n", init, CheckServerStatus(NULL, atoi(mask)));
}

static void Close(const char *when) {
    DWORD start = GetTickCount();
    LONG i, count;
    int result;
    g_codeCount = 0;
    result = CloseCheckServer();
    count = g_codeCount;
    printf("%s: close %d in %lu ms, codes", when, result, (unsigned long)(GetTickCount() - start));
    for (i = 0; i < count && i < 8; ++i)
        printf(" %ld", (long)g_codes[i]);
    printf("\n");
    fflush(stdout);
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    char when[16] = "";
    (void)module, (void)reserved;
    GetEnvironmentVariableA("ZN_HELPER_CLOSE", when, sizeof when);
    if (reason == DLL_PROCESS_ATTACH) {
        Start();
        if (strcmp(when, "attach") == 0)
            Close("attach");
    } else if (reason == DLL_PROCESS_DETACH && reserved == NULL && strcmp(when, "detach") == 0) {
        Close("detach");
    }
    return TRUE;
}
