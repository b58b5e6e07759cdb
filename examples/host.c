/*
 * A minimal host of zembrixnet in C: initialise on a directory, check the
 * four kinds of server while printing the library's progress, read the
 * servers the check selected, update the server lists from the provider,
 * and close.
 *
 *   zembrixnet_example [DIR]    DIR holds ZembrixNetWork.ini (default ".")
 *
 * Build it against the installed library (libzembrixnet-dev):
 *
 *   cmake -S /usr/share/doc/libzembrixnet-dev/examples -B build
 *   cmake --build build && build/zembrixnet_example /tmp/zn
 *
 * A check probes the servers the file lists and an update asks the
 * provider's web API: run it where those are the servers you mean to reach.
 * Exit status 0 when every call answered as documented, 1 otherwise.
 */
#include <stdio.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <zembrixnet.h>

/*
 * The finish callbacks come on a library thread, so the main thread waits
 * for them through a lock and a condition (an event on Windows).
 */
#if defined(_WIN32)
static HANDLE g_finished;
static void InitFinished(void) {
    g_finished = CreateEventA(NULL, FALSE, FALSE, NULL);
}
static void SignalFinished(void) {
    SetEvent(g_finished);
}
static void WaitFinished(void) {
    WaitForSingleObject(g_finished, INFINITE);
}
#else
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;
static int g_finishedCount;
static int g_waitedCount;
static void InitFinished(void) {}
static void SignalFinished(void) {
    pthread_mutex_lock(&g_lock);
    ++g_finishedCount;
    pthread_cond_signal(&g_changed);
    pthread_mutex_unlock(&g_lock);
}
static void WaitFinished(void) {
    pthread_mutex_lock(&g_lock);
    while (g_finishedCount == g_waitedCount)
        pthread_cond_wait(&g_changed, &g_lock);
    ++g_waitedCount;
    pthread_mutex_unlock(&g_lock);
}
#endif

/*
 * Progress and refusals. They come on the library's threads as well as on
 * this one, several at once (one checker thread per kind): each is one call
 * of fprintf, and nothing here waits for the library.
 */
static void ZN_CALLBACK OnStatus(void *context, int code, const char *message) {
    fprintf(stderr, "%s %d %s\n", (const char *)context, code, message);
}

static void ZN_CALLBACK OnFinished(void *context, const char *message) {
    fprintf(stderr, "%s %s\n", (const char *)context, message);
    SignalFinished();
}

static const struct {
    int kind;
    const char *name;
} kKinds[] = {{ZN_KIND_WEB, "WEB"}, {ZN_KIND_SIP, "SIP"}, {ZN_KIND_IM, "IM"}, {ZN_KIND_FAX, "FAX"}};

/* The server the last check selected for each kind. */
static void PrintSelections(void) {
    static const char *const kTransports[] = {"TCP", "HTTPS", "HTTP"};
    char host[ZN_ADDRESS_BUFFER_BYTES], port[ZN_ADDRESS_BUFFER_BYTES];
    char description[ZN_DESCRIPTION_BUFFER_BYTES];
    int transport = ZN_TRANSPORT_TCP;
    size_t i;
    for (i = 0; i < sizeof kKinds / sizeof kKinds[0]; ++i) {
        /* 0 is success here, unlike every other function. */
        if (GetServerInfo(kKinds[i].kind, host, port, description, &transport) != 0) {
            printf("%s none\n", kKinds[i].name);
            continue;
        }
        printf("%s %s %s%s%s\n", kKinds[i].name, host, port,
               kKinds[i].kind == ZN_KIND_IM ? " " : "",
               kKinds[i].kind == ZN_KIND_IM ? kTransports[transport] : "");
    }
}

int main(int argc, char **argv) {
    const char *directory = argc > 1 ? argv[1] : ".";
    InitFinished();

    /* 3 on success; the directory is not tested (see the header). */
    if (InitCheckServer(OnStatus, "status", OnFinished, "check", OnFinished, "update", OnStatus,
                        "error", directory) != 3) {
        printf("InitCheckServer refused\n");
        return 1;
    }

    printf("== check\n");
    if (CheckServerStatus(NULL, ZN_KIND_WEB | ZN_KIND_SIP | ZN_KIND_IM | ZN_KIND_FAX) != 1) {
        printf("CheckServerStatus refused\n");
        CloseCheckServer();
        return 1;
    }
    /* Every run ends with its finish message, whatever it found. */
    WaitFinished();
    PrintSelections();

    printf("== update\n");
    if (UpdateServerList("zembrixnet example 1.0") != 1) {
        printf("UpdateServerList refused\n");
        CloseCheckServer();
        return 1;
    }
    WaitFinished();
    /* What the update wrote is in the file; the next check probes it. */

    /* Cancels a running job and waits for it: never from a callback that
       the job waits for, and before the library is unloaded. */
    if (CloseCheckServer() != 1) {
        printf("CloseCheckServer refused\n");
        return 1;
    }
    printf("== closed\n");
    return 0;
}
