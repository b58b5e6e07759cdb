/*
 * A Windows host written in C that drives zembrixnet.dll through its header
 * alone, as a client application does. It prints every callback on a line of
 * its own, so the script that runs it can check the order and the texts.
 *
 *   zn_win_host check DIR      initialise, check SIP, show the server, close
 *   zn_win_host update DIR     initialise, update, close
 *   zn_win_host unload DIR     load the DLL at run time, start a check, unload
 *                              it while the check runs, and survive
 *
 * Exit status 0 when every step answered as documented.
 */
#include <stdio.h>
#include <string.h>
/* winsock2.h before windows.h, which would bring the old Winsock in; then
   what builds on windows.h. */
#include <winsock2.h>

#include <windows.h>

#include <tlhelp32.h>

#include "zembrixnet.h"

/* Contexts the callbacks must get back exactly as registered. */
static int g_statusTag, g_checkTag, g_updateTag, g_errorTag;
static HANDLE g_finished;
static int g_badContext;

static void ZN_CALLBACK OnStatus(void *context, int code, const char *message) {
    g_badContext |= context != &g_statusTag;
    printf("status %d %s\n", code, message);
    fflush(stdout);
}

static void ZN_CALLBACK OnCheckFinished(void *context, const char *message) {
    g_badContext |= context != &g_checkTag;
    printf("check-finished %s\n", message);
    fflush(stdout);
    SetEvent(g_finished);
}

static void ZN_CALLBACK OnUpdateFinished(void *context, const char *message) {
    g_badContext |= context != &g_updateTag;
    printf("update-finished %s\n", message);
    fflush(stdout);
    SetEvent(g_finished);
}

static void ZN_CALLBACK OnError(void *context, int code, const char *message) {
    g_badContext |= context != &g_errorTag;
    printf("error %d %s\n", code, message);
    fflush(stdout);
}

static int Fail(const char *what) {
    printf("FAILED: %s\n", what);
    return 1;
}

/* Generous: a check ends within its own limits long before. */
#define JOB_WAIT_MS 120000

static int Initialise(const char *directory) {
    int result = InitCheckServer(OnStatus, &g_statusTag, OnCheckFinished, &g_checkTag,
                                 OnUpdateFinished, &g_updateTag, OnError, &g_errorTag, directory);
    return result == 3;
}

static int RunCheck(const char *directory) {
    char host[1024], port[1024], description[32];
    int transport = -1;
    if (!Initialise(directory))
        return Fail("InitCheckServer");
    if (CheckServerStatus(NULL, ZN_KIND_SIP) != 1)
        return Fail("CheckServerStatus");
    /* Refused while the check runs. */
    if (CheckServerStatus(NULL, ZN_KIND_SIP) != 0)
        return Fail("second CheckServerStatus");
    if (WaitForSingleObject(g_finished, JOB_WAIT_MS) != WAIT_OBJECT_0)
        return Fail("no end of the check");
    /* The running state ends just after the callback. */
    while (GetServerInfo(ZN_KIND_SIP, host, port, description, &transport) == 1) {
        static int tries;
        if (++tries > 100)
            return Fail("GetServerInfo");
        Sleep(50);
    }
    printf("info SIP %s %s %s\n", host, port, description);
    if (CloseCheckServer() != 1)
        return Fail("CloseCheckServer");
    return g_badContext ? Fail("a callback lost its context") : 0;
}

static int RunUpdate(const char *directory) {
    if (!Initialise(directory))
        return Fail("InitCheckServer");
    if (SetHTTPProxy("127.0.0.1:9") != 1)
        return Fail("SetHTTPProxy");
    if (UpdateServerList("1.0") != 1)
        return Fail("UpdateServerList");
    if (WaitForSingleObject(g_finished, JOB_WAIT_MS) != WAIT_OBJECT_0)
        return Fail("no end of the update");
    if (CloseCheckServer() != 1)
        return Fail("CloseCheckServer");
    return g_badContext ? Fail("a callback lost its context") : 0;
}

typedef int(ZN_CALL *InitFunction)(StatusCallback, void *, CheckFinishedCallback, void *,
                                   UpdateFinishedCallback, void *, ErrorCallback, void *,
                                   const char *);
typedef int(ZN_CALL *CheckFunction)(const char *, int);

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
    int threadsBefore = CountOwnThreads();
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
    /* Time for the check's threads to run on and end. */
    Sleep(3000);
    printf("survived, library %s\n", GetModuleHandleA("zembrixnet.dll") ? "still loaded" : "gone");
    return 0;
}

int main(int argc, char **argv) {
    int result;
    if (argc != 3)
        return Fail("usage: zn_win_host check|update|unload DIR");
    g_finished = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (!g_finished)
        return Fail("CreateEvent");
    if (strcmp(argv[1], "check") == 0)
        result = RunCheck(argv[2]);
    else if (strcmp(argv[1], "update") == 0)
        result = RunUpdate(argv[2]);
    else if (strcmp(argv[1], "unload") == 0)
        result = RunUnload(argv[2]);
    else
        result = Fail("unknown mode");
    fflush(stdout);
    return result;
}
