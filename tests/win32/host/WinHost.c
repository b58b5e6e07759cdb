/*
 * A Windows host written in C that drives zembrixnet.dll through its header
 * alone, as a client application does. It prints every callback on a line of
 * its own, so the script that runs it can check the order and the texts.
 *
 *   zn_win_host check DIR      initialise, check SIP, show the server, close
 *   zn_win_host update DIR     initialise, update, close
 *   zn_win_host exit MS DIR    initialise, start a check, and exit MS
 *                              milliseconds later without closing
 *
 * Exit status 0 when every step answered as documented.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
/* winsock2.h before windows.h, which would bring the old Winsock in; then
   what builds on windows.h. */
#include <winsock2.h>

#include <windows.h>

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

/* The host ends while the check's threads run: the system ends them and
   then detaches the DLL, which must neither hang nor crash the exit. */
static int RunExit(const char *directory, int delayMs) {
    if (!Initialise(directory))
        return Fail("InitCheckServer");
    if (CheckServerStatus(NULL, ZN_KIND_WEB | ZN_KIND_SIP | ZN_KIND_IM | ZN_KIND_FAX) != 1)
        return Fail("CheckServerStatus");
    Sleep((DWORD)delayMs);
    printf("exiting\n");
    return 0;
}

int main(int argc, char **argv) {
    int result;
    if (argc == 4 && strcmp(argv[1], "exit") == 0)
        return RunExit(argv[3], atoi(argv[2]));
    if (argc != 3)
        return Fail("usage: zn_win_host check|update DIR, or exit MS DIR");
    g_finished = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (!g_finished)
        return Fail("CreateEvent");
    if (strcmp(argv[1], "check") == 0)
        result = RunCheck(argv[2]);
    else if (strcmp(argv[1], "update") == 0)
        result = RunUpdate(argv[2]);
    else
        result = Fail("unknown mode");
    fflush(stdout);
    return result;
}
