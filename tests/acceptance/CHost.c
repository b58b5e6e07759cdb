/* A host written in C: the header must be plain C. */
#include <stddef.h>

#include "zembrixnet.h"

static int g_statusCalls;

static void ZN_CALLBACK OnStatus(void *context, int code, const char *message) {
    (void)context;
    (void)code;
    (void)message;
    ++g_statusCalls;
}

/* Initialises and closes from C; returns the number of status callbacks. */
int RunCHost(const char *directory) {
    StatusCallback status = OnStatus;
    g_statusCalls = 0;
    if (InitCheckServer(status, NULL, NULL, NULL, NULL, NULL, NULL, NULL, directory) != 3)
        return -1;
    if (CloseCheckServer() != 1)
        return -1;
    return g_statusCalls;
}
