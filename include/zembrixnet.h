/*
 * zembrixnet: which of the provider's servers can this client reach?
 *
 * The host initialises the library once with the directory that holds
 * "ZembrixNetWork.ini" and four callbacks, then asks for check runs (probe
 * the servers of the kinds it wants), update runs (fetch the current server
 * lists), the server selected for one kind, or a new HTTP proxy. Jobs run on
 * the library's own threads; every function returns at once.
 *
 * Threading: every function may be called from any thread, from several
 * threads at once, and from inside a callback. Callbacks are made on the
 * thread that produces the event, with no library lock held:
 *
 *   on the thread that called the function, before it returns:
 *     every refusal (ErrorCallback: 75004, 75007, 75008, 75009);
 *     75000 of InitCheckServer; 75001 of CloseCheckServer;
 *     75003 of CancelChecking, EndUpdateServerList and of CloseCheckServer
 *     when it cancels a running job;
 *   on the library's threads:
 *     75004 of each checker (one thread per kind a check probes),
 *     75005, "Finish all checking!" and "Finish updating!" (the job's
 *     thread).
 *
 * Several callbacks may therefore run at the same time on different threads
 * (the checkers of one check report at once, while a host thread may be
 * hearing a refusal): the host's callbacks must be safe to run concurrently.
 * The message pointer is valid only during the call; the context is handed
 * back exactly as it was registered. CloseCheckServer waits for a running
 * job to end, so a callback must not wait for the thread that is calling
 * CloseCheckServer (calling the functions from inside a callback is fine:
 * called there, or under the Windows loader lock, CloseCheckServer does not
 * wait for the job to end).
 *
 * Standard output: the library writes one line, "CryptAcquireContext
 * succeeded.", to the C runtime's standard output each time it starts the
 * cipher of the server list addresses: once in each successful
 * InitCheckServer, once on the checker's thread for each kind a check run
 * probes (none when the run finds no internet, see CheckServerStatus), and
 * in each update run once for the run and once for each source it asks
 * (the web API directly, through the proxy, a fallback page). This is by
 * design; a host that uses standard output for its own data redirects it.
 *
 * Unloading (Windows): the library keeps itself loaded while its threads run,
 * so a host may call FreeLibrary while a job runs, with two exceptions that
 * crash any DLL and are the host's to avoid: never unload the library from
 * inside one of its callbacks (the function or thread that made the call
 * returns into the unloaded code), and never while another thread of the
 * host is inside one of these functions.
 */
#ifndef ZEMBRIXNET_H
#define ZEMBRIXNET_H

#include "zembrixnet/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Server kinds: bits of the check mask and the kind argument of GetServerInfo. */
#define ZN_KIND_WEB 1
#define ZN_KIND_SIP 2
#define ZN_KIND_IM 4
#define ZN_KIND_FAX 8

/* IM transports reported by GetServerInfo. */
#define ZN_TRANSPORT_TCP 0
#define ZN_TRANSPORT_HTTPS 1
#define ZN_TRANSPORT_HTTP 2

/* Status codes sent to StatusCallback and ErrorCallback. */
#define ZN_STATUS_INITIALISED 75000
#define ZN_STATUS_CLOSED 75001
#define ZN_STATUS_CANCELLED 75003
#define ZN_STATUS_CHECKING 75004
#define ZN_STATUS_UPDATE_BEGIN 75005
#define ZN_STATUS_NOT_RUNNING 75007
#define ZN_STATUS_NOT_INITIALISED 75008
#define ZN_STATUS_ALREADY_INITIALISED 75009

/*
 * Every status code, in one list: XX(NAME) for each ZN_STATUS_NAME, noted
 * with the texts that come with it. The library builds its table of
 * messages from it; a host may build tables of its own.
 */
#define ZN_STATUS_MAP(XX)                                                               \
    XX(INITIALISED)         /* "Init checking server list successfully" */              \
    XX(CLOSED)              /* "Close checking server list successfully" */             \
    XX(CANCELLED)           /* "Cancel checking/updating server list successfully!" */  \
    XX(CHECKING)            /* checker progress; as a refusal: "Is checking servers" */ \
    XX(UPDATE_BEGIN)        /* "Begin to update server list!" */                        \
    XX(NOT_RUNNING)         /* refusal: "Is not checking servers" */                    \
    XX(NOT_INITIALISED)     /* refusal: "Not initiate yet" */                           \
    XX(ALREADY_INITIALISED) /* refusal: "Had already initiated" */

/*
 * Sizes of the buffers GetServerInfo writes, terminating zero included: a
 * host part or port part of a selection has at most
 * ZN_ADDRESS_BUFFER_BYTES - 1 characters (longer selections are refused), a
 * description ("WEB server address", ...) at most
 * ZN_DESCRIPTION_BUFFER_BYTES - 1.
 */
#define ZN_ADDRESS_BUFFER_BYTES 1024
#define ZN_DESCRIPTION_BUFFER_BYTES 19

/* Successes and progress: 75000, 75001, 75003, 75004, 75005. */
typedef void(ZN_CALLBACK *StatusCallback)(void *context, int code, const char *message);
/* End of every check run: "Finish all checking!". */
typedef void(ZN_CALLBACK *CheckFinishedCallback)(void *context, const char *message);
/* End of every update run: "Finish updating!". */
typedef void(ZN_CALLBACK *UpdateFinishedCallback)(void *context, const char *message);
/* Refusals of exported calls: 75004, 75007, 75008, 75009. */
typedef void(ZN_CALLBACK *ErrorCallback)(void *context, int code, const char *message);

/*
 * Records the callbacks (any may be null: its events are dropped) and the
 * directory of "ZembrixNetWork.ini" (one trailing separator is trimmed),
 * writes the missing default keys into that file and makes it writable.
 * Returns 3 on success; 0 with 75009 when already initialised.
 *
 * The directory is not tested: one that does not exist or cannot be written
 * still gives 3 and 75000 (no status code means "cannot use the directory").
 * Nothing is written then, checks find no server and updates store nothing.
 * A host that must know tests after the call that the file exists and is
 * writable.
 *
 *   [in] status ... error      the host's functions; kept until the next
 *                              successful InitCheckServer
 *   [in] *Context              handed back with each callback; the host owns
 *                              what it points to, the library never reads it
 *   [in] directory             NUL-terminated; null or empty means ".";
 *                              read only during the call
 */
ZN_API int InitCheckServer(StatusCallback status, void *statusContext,
                           CheckFinishedCallback checkFinished, void *checkFinishedContext,
                           UpdateFinishedCallback updateFinished, void *updateFinishedContext,
                           ErrorCallback error, void *errorContext, const char *directory);

/*
 * Starts a check run of the kinds in mask (ZN_KIND_* bits). Returns 1 when
 * started; 0 with 75008 (not initialised) or 75004 (a job is running); 0
 * with no code when the system gave no thread for the run (the library
 * stays initialised and idle: a later call may start it).
 *
 * A run first tests that the internet can be reached (port 80 of two
 * well-known web hosts). When neither answers it probes nothing and records
 * "no server" for WEB, SIP and IM in the file, whatever the mask. Otherwise
 * each requested kind's checker probes that kind's servers. Bits other than
 * the four kinds are ignored; a mask without any of them is accepted (1) and
 * its run ends with "Finish all checking!" as soon as the internet test has
 * ended, with no 75004.
 *
 *   [in] request   not used by check runs (kept for the interface's sake);
 *                  NUL-terminated, or null; read only during the call
 *   [in] mask      ZN_KIND_* bits
 */
ZN_API int CheckServerStatus(const char *request, int mask);

/*
 * Starts an update run; version is sent to the provider. Returns 1 when
 * started; 0 with 75008 or 75004; 0 with no code when no thread could be
 * started, as for CheckServerStatus.
 *
 *   [in] version   NUL-terminated, or null (counts as empty); read only
 *                  during the call
 */
ZN_API int UpdateServerList(const char *version);

/* Cancels the running job. Returns 1; 0 with 75008 or 75007. */
ZN_API int CancelChecking(void);

/* As CancelChecking, but returns 1 also when refused. */
ZN_API int EndUpdateServerList(void);

/*
 * Writes the server the last check selected for one kind: host, port, the
 * kind's description and, for IM, the transport. Returns 0 on success and 1
 * on failure or refusal (75008, 75004).
 *
 * Before this process has checked the kind, the selection the file records
 * (from an earlier process) answers. The call fails when there is none: the
 * last check found no server of the kind, the file records none, or the
 * recorded address has no host. For SIP only, the file's selection also
 * answers when this process's last check found none.
 *
 *   [in]  kind          one ZN_KIND_* value
 *   [out] host          the caller's buffer of ZN_ADDRESS_BUFFER_BYTES bytes;
 *                       written NUL-terminated
 *   [out] port          as host
 *   [out] description   the caller's buffer of ZN_DESCRIPTION_BUFFER_BYTES
 *                       bytes; written NUL-terminated
 *   [out] transport     ZN_TRANSPORT_* for IM (must not be null then); not
 *                       written for the other kinds, and may be null there
 *
 * A null host, port or description fails the call with nothing written.
 * The buffers are written before the call returns; the library keeps no
 * pointer to them.
 */
ZN_API int GetServerInfo(int kind, char *host, char *port, char *description, int *transport);

/*
 * Cancels a running job (75003), waits for it to end and shuts the library
 * down (75001); nothing of the job reaches the host after it returns.
 * Called from inside a callback it does not wait: the job ends on its own
 * and may still send its finish message. Called under the Windows loader
 * lock (from a DllMain) it does not wait either: it signals every stop and
 * returns, and the job ends and frees itself once the lock is released,
 * sending nothing more to the host. The callbacks stay registered.
 * Returns 1; 0 with 75008.
 */
ZN_API int CloseCheckServer(void);

/*
 * Stores the HTTP proxy ("a.b.c.d:port") used by update runs. Accepted while
 * a job runs. Returns 1; 0 with 75008.
 *
 *   [in] proxy   NUL-terminated, or null; null or empty means no proxy;
 *                read only during the call
 */
ZN_API int SetHTTPProxy(const char *proxy);

#ifdef __cplusplus
}
#endif

#endif /* ZEMBRIXNET_H */
