/*
 * A Windows host written in C that loads zembrixnet.dll at run time only (it
 * does not link the import library, which would keep the DLL loaded), starts
 * a check and unloads the library while the check runs.
 *
 *   zn_win_unload_host DIR
 *
 * Prints whether the library is still loaded right after FreeLibrary and
 * once the check's threads had time to end; exit status 0 when every call
 * answered as documented and the host survived.
 */
#include <stdio.h>
/* winsock2.h before windows.h, which would bring the old Winsock in; then
   what builds on windows.h. */
#include <winsock2.h>

#include <windows.h>

#include <tlhelp32.h>

#include "zembrixnet.h"

/* Generous: the check's threads end within its own limits long before. */
#define UNLOAD_WAIT_MS 120000

static int Fail(const char *what) {
    printf("FAILED: %s\n", what);
    return 1;
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

int main(int argc, char **argv) {
    int result;
    if (argc != 2)
        return Fail("usage: zn_win_unload_host DIR");
    result = RunUnload(argv[1]);
    fflush(stdout);
    return result;
}
