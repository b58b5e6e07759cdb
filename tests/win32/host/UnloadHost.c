/*
 * A Windows host written in C that loads zembrixnet.dll at run time only (it
 * does not link the import library, which would keep the DLL loaded) and
 * unloads it while the library still works. It keeps to one processor, where
 * a library thread that runs on after its module went shows at once.
 *
 *   zn_win_unload_host DIR                            once, during a check
 *   zn_win_unload_host random check|update COUNT SEED DIR   0-50 ms into a job
 *   zn_win_unload_host silent DIR            closed while WinInet still waits
 *   zn_win_unload_host handles ROUNDS close|open DIR   handles cycles leave
 *   zn_win_unload_host loaderlock attach|detach DIR  closed from a DllMain
 *
 * Exit status 0 when every call answered as documented and the host
 * survived.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
/* winsock2.h before windows.h, which would bring the old Winsock in; then
   what builds on windows.h. */
#include <winsock2.h>

#include <windows.h>

#include <tlhelp32.h>

#include "zembrixnet.h"

/* Generous: the check's threads end within its own limits long before. */
#define UNLOAD_WAIT_MS 120000
/* Generous: a close under the loader's lock returns within milliseconds. */
#define LOADER_LOCK_WAIT_MS 60000

static int Fail(const char *what) {
    printf("FAILED: %s\n", what);
    return 1;
}

typedef int(ZN_CALL *InitFunction)(StatusCallback, void *, CheckFinishedCallback, void *,
                                   UpdateFinishedCallback, void *, ErrorCallback, void *,
                                   const char *);
typedef int(ZN_CALL *CheckFunction)(const char *, int);
typedef int(ZN_CALL *UpdateFunction)(const char *);
typedef int(ZN_CALL *CloseFunction)(void);

static HANDLE g_finished;
static HMODULE g_library;
static CheckFunction g_check;
static UpdateFunction g_update;
static CloseFunction g_close;

static void ZN_CALLBACK OnFinished(void *context, const char *message) {
    (void)context, (void)message;
    SetEvent(g_finished);
}

#define EXPORT(type, name) ((type)(void (*)(void))GetProcAddress(g_library, name))

/* Loads and initialises the library; 0 on any failure. */
static int Start(const char *directory) {
    InitFunction init;
    ResetEvent(g_finished);
    g_library = LoadLibraryA("zembrixnet.dll");
    if (!g_library || !(init = EXPORT(InitFunction, "InitCheckServer")) ||
        !(g_check = EXPORT(CheckFunction, "CheckServerStatus")) ||
        !(g_update = EXPORT(UpdateFunction, "UpdateServerList")) ||
        !(g_close = EXPORT(CloseFunction, "CloseCheckServer")))
        return 0;
    return init(NULL, NULL, OnFinished, NULL, OnFinished, NULL, NULL, NULL, directory) == 3;
}

/* Waits until the library's last hold is gone; 0 when it never went. */
static int WaitUntilGone(void) {
    int waited;
    for (waited = 0; waited < UNLOAD_WAIT_MS && GetModuleHandleA("zembrixnet.dll"); waited += 5)
        Sleep(5);
    return GetModuleHandleA("zembrixnet.dll") == NULL;
}

/* Unloads (after closing when asked) and waits until the library has gone;
   0 when it never went. */
static int Unload(int close) {
    if ((close && g_close() != 1) || !FreeLibrary(g_library))
        return 0;
    return WaitUntilGone();
}

/* COUNT loads, each unloaded at a random moment 0-50 ms into a job. */
static int RunRandom(const char *job, int count, unsigned seed, const char *directory) {
    int i;
    printf("seed %u\n", seed);
    srand(seed);
    for (i = 0; i < count; ++i) {
        if (!Start(directory) ||
            (strcmp(job, "update") == 0 ? g_update("1.0")
                                        : g_check(NULL, ZN_KIND_SIP | ZN_KIND_WEB)) != 1)
            return Fail("load, init and start");
        Sleep((DWORD)(rand() % 51));
        if (!Unload(0))
            return Fail("unload");
    }
    printf("survived %d unloads during %s\n", count, job);
    return 0;
}

/* The check selects the web API, which accepts and stays silent: the
   update's request still waits for it when the library is closed and
   unloaded, and is reported closed only when the peer closes (4 s after it
   accepted), when whatever the system still calls of the library comes. */
static int RunSilent(const char *directory) {
    if (!Start(directory) || g_check(NULL, ZN_KIND_WEB) != 1 ||
        WaitForSingleObject(g_finished, UNLOAD_WAIT_MS) != WAIT_OBJECT_0 || g_update("1.0") != 1)
        return Fail("load, check and update");
    Sleep(500);
    if (g_close() != 1 || !FreeLibrary(g_library))
        return Fail("close and unload");
    printf("closed and unloaded: %s\n",
           GetModuleHandleA("zembrixnet.dll") ? "still loaded" : "gone");
    fflush(stdout);
    /* The host's own hold is gone: it only waits, as a host must never give
       back a hold that is not its own. */
    if (!WaitUntilGone())
        return Fail("the library stayed loaded");
    Sleep(6000);
    printf("survived the silent peer's close\n");
    return 0;
}

/* Handles open in this process, found by probing every value up to a bound
   well beyond what a small host uses. */
static int CountHandles(void) {
    DWORD flags;
    int count = 0;
    ULONG_PTR value;
    for (value = 4; value < 0x10000; value += 4)
        count += GetHandleInformation((HANDLE)value, &flags) != 0;
    return count;
}

/* Cycles of load, check, (close,) unload, with every kind mask in turn. The
   first round loads the system's modules for good; each later round must give
   back every handle it took: two of slack for the system's own, whatever the
   number of cycles, so a handle lost per cycle shows. */
static int RunHandles(int rounds, int close, const char *directory) {
    int before = 0, after, round, mask, lost[16] = {0}, count;
    for (round = 0; round <= rounds; ++round) {
        for (mask = 1; mask <= 15; ++mask) {
            count = CountHandles();
            if (!Start(directory) || g_check(NULL, mask) != 1 ||
                WaitForSingleObject(g_finished, UNLOAD_WAIT_MS) != WAIT_OBJECT_0 || !Unload(close))
                return Fail("load, check and unload");
            if (round > 0)
                lost[mask] += CountHandles() - count;
        }
        if (round == 0)
            before = CountHandles();
    }
    after = CountHandles();
    printf("handles before %d after %d rounds of masks 1-15%s: %d; by mask:", before, rounds,
           close ? "" : " without close", after);
    for (mask = 1; mask <= 15; ++mask)
        printf(" %d", lost[mask]);
    printf("\n");
    return after - before > 2 ? Fail("handles left by load and unload") : 0;
}

static int CountOwnThreads(void) {
    THREADENTRY32 entry;
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    entry.dwSize = sizeof entry;
    if (Thread32First(snapshot, &entry)) {
        do {
            if (entry.th32OwnerProcessID == GetCurrentProcessId())
                ++count;
        } while (Thread32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return count;
}

/* Loading runs under the loader's lock: the library starts no thread and not
   the socket layer then. The host unloads the library while a check runs:
   FreeLibrary returns at once, the library stays loaded until its threads
   are done, and nothing of it runs after it is gone. */
static int RunUnload(const char *directory) {
    int threadsBefore = CountOwnThreads(), waited;
    HMODULE library = LoadLibraryA("zembrixnet.dll");
    InitFunction init;
    CheckFunction check;
    if (!library)
        return Fail("LoadLibrary");
    if (CountOwnThreads() != threadsBefore)
        return Fail("a thread started at load");
    /* This host never started Winsock itself. */
    if (WSACleanup() != SOCKET_ERROR || WSAGetLastError() != WSANOTINITIALISED)
        return Fail("the socket layer started at load");
    init = (InitFunction)(void (*)(void))GetProcAddress(library, "InitCheckServer");
    check = (CheckFunction)(void (*)(void))GetProcAddress(library, "CheckServerStatus");
    if (!init || !check)
        return Fail("GetProcAddress");
    /* No callbacks: the host is about to drop the library. */
    if (init(NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, directory) != 3)
        return Fail("InitCheckServer");
    if (check(NULL, ZN_KIND_SIP | ZN_KIND_WEB) != 1)
        return Fail("CheckServerStatus");
    if (!FreeLibrary(library))
        return Fail("FreeLibrary");
    printf("unloaded while running: %s\n",
           GetModuleHandleA("zembrixnet.dll") ? "still loaded" : "gone");
    fflush(stdout);
    /* The check's threads run on and end; the last one unloads the library. */
    for (waited = 0; waited < UNLOAD_WAIT_MS && GetModuleHandleA("zembrixnet.dll"); waited += 50)
        Sleep(50);
    printf("survived, library %s\n", GetModuleHandleA("zembrixnet.dll") ? "still loaded" : "gone");
    return 0;
}

/* Ends the process when a close under the loader's lock never returns:
   nothing else can, since the lock is held. */
static DWORD WINAPI Watchdog(void *started) {
    SetEvent((HANDLE)started);
    Sleep(LOADER_LOCK_WAIT_MS);
    printf("FAILED: the close under the loader's lock never returned\n");
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    return 0;
}

/* The helper DLL starts a check from its DllMain and closes the library
   there too, at attach or 20 ms later at detach (see LoaderLockHelper.c):
   the close returns, the job ends on its own without calling into the
   helper that went, and the library goes with its last thread. */
static int RunLoaderLock(const char *when, const char *directory) {
    HMODULE helper;
    HANDLE started = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetEnvironmentVariableA("ZN_HELPER_DIR", directory);
    SetEnvironmentVariableA("ZN_HELPER_CLOSE", when);
    /* Running before the lock is taken: a thread's start needs it too. */
    if (!started || !CreateThread(NULL, 0, Watchdog, started, 0, NULL) ||
        WaitForSingleObject(started, INFINITE) != WAIT_OBJECT_0)
        return Fail("the watchdog");
    if (!(helper = LoadLibraryA("zn_win_loader_lock_helper.dll")))
        return Fail("LoadLibrary of the helper");
    Sleep(20);
    if (!FreeLibrary(helper))
        return Fail("FreeLibrary of the helper");
    if (!WaitUntilGone())
        return Fail("the library stayed loaded");
    printf("survived the close under the loader's lock at %s\n", when);
    return 0;
}

int main(int argc, char **argv) {
    int result;
    /* One processor: a thread that outlives its code gets no time to
       finish before the unloading thread unmaps it. */
    SetProcessAffinityMask(GetCurrentProcess(), 1);
    g_finished = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (argc == 2)
        result = RunUnload(argv[1]);
    else if (argc == 6 && strcmp(argv[1], "random") == 0)
        result = RunRandom(argv[2], atoi(argv[3]), (unsigned)strtoul(argv[4], NULL, 10), argv[5]);
    else if (argc == 3 && strcmp(argv[1], "silent") == 0)
        result = RunSilent(argv[2]);
    else if (argc == 4 && strcmp(argv[1], "loaderlock") == 0)
        result = RunLoaderLock(argv[2], argv[3]);
    else if (argc == 5 && strcmp(argv[1], "handles") == 0)
        result = RunHandles(atoi(argv[2]), strcmp(argv[3], "close") == 0, argv[4]);
    else
        result = Fail("usage: see the comment at the top");
    fflush(stdout);
    return result;
}
