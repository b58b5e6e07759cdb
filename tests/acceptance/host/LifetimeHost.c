/* A host that loads the library with dlopen, starts a check of all four kinds
 * and then does what a host may do at any moment. Exit status 0 when all
 * went as a host expects.
 *   LifetimeHost LIBRARY DIRECTORY exit|dlclose DELAY_US   exit or unload
 *   LifetimeHost LIBRARY DIRECTORY nproc   no thread left for the checkers */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "zembrixnet.h"

typedef int (*InitFn)(StatusCallback, void *, CheckFinishedCallback, void *, UpdateFinishedCallback,
                      void *, ErrorCallback, void *, const char *);
typedef int (*CheckFn)(const char *, int);

static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_cond = PTHREAD_COND_INITIALIZER;
static int g_begun, g_finished, g_runOver; /* SIP, IM and FAX messages; the run's end */

static void ZN_CALLBACK OnStatus(void *context, int code, const char *message) {
    (void)context;
    (void)code;
    pthread_mutex_lock(&g_mutex);
    g_begun += strncmp(message, "Begin", 5) == 0 && !strstr(message, "Website");
    g_finished += strncmp(message, "Fin", 3) == 0 && !strstr(message, "Website");
    pthread_cond_broadcast(&g_cond);
    /* A WEB checker that got the one thread left holds it until the others,
     * which got none, are finished: before the fix they never are. */
    struct timespec deadline = {time(NULL) + 20, 0};
    while (strcmp(message, "Begin to check Website!") == 0 && g_finished < 3 &&
           pthread_cond_timedwait(&g_cond, &g_mutex, &deadline) == 0) {
    }
    pthread_mutex_unlock(&g_mutex);
}

static void ZN_CALLBACK OnCheckFinished(void *context, const char *message) {
    (void)context;
    (void)message;
    pthread_mutex_lock(&g_mutex);
    g_runOver = 1;
    pthread_cond_broadcast(&g_cond);
    pthread_mutex_unlock(&g_mutex);
}

static void *Nothing(void *arg) {
    return arg;
}

/* As an ordinary user, room for two more threads: the manager's and the
 * connectivity probe's. */
static int LimitThreads(void) {
    struct rlimit limit;
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0 ||
        getrlimit(RLIMIT_NPROC, &limit) != 0)
        return 0;
    for (limit.rlim_cur = 1; setrlimit(RLIMIT_NPROC, &limit) == 0; ++limit.rlim_cur) {
        pthread_t thread;
        if (pthread_create(&thread, NULL, Nothing, NULL) == 0) {
            pthread_join(thread, NULL);
            ++limit.rlim_cur;
            return setrlimit(RLIMIT_NPROC, &limit) == 0;
        }
    }
    return 0;
}

int main(int argc, char **argv) {
    void *library = argc >= 4 ? dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : NULL;
    InitFn init = library ? (InitFn)dlsym(library, "InitCheckServer") : NULL;
    CheckFn check = library ? (CheckFn)dlsym(library, "CheckServerStatus") : NULL;
    const int nproc = argc >= 4 && strcmp(argv[3], "nproc") == 0;
    if (!init || !check ||
        init(OnStatus, NULL, OnCheckFinished, NULL, NULL, NULL, NULL, NULL, argv[2]) != 3 ||
        (nproc && !LimitThreads()) || check("", 15) != 1)
        return 64;
    if (!nproc) {
        usleep((useconds_t)(argc > 4 ? atoi(argv[4]) : 0));
        return strcmp(argv[3], "dlclose") == 0 ? dlclose(library) : 0;
    }
    pthread_mutex_lock(&g_mutex);
    struct timespec deadline = {time(NULL) + 20, 0};
    while (!g_runOver && pthread_cond_timedwait(&g_cond, &g_mutex, &deadline) == 0) {
    }
    /* Some kind finished without having begun: its thread could not start. */
    return g_runOver && g_finished > g_begun ? 0 : 2;
}
