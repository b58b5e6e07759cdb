// What the command-line tool needs beyond the exported functions, in one
// place. The tool links the library's code statically for it; everything
// else it does through the exports of the shared library.
//
// A diagnosis runs the library's own functions (the work behind each export,
// under the same contract as in zembrixnet.h) in that statically linked copy,
// where the tool's observer is installed: the observations come from the
// very code that does the work, while hosts of the shared library see no
// change at all.
#pragma once

#include "report/Observer.h"
#include "zembrixnet.h"

namespace zn {
namespace api {

int ZN_CALL InitCheckServer(StatusCallback status, void *statusContext,
                            CheckFinishedCallback checkFinished, void *checkFinishedContext,
                            UpdateFinishedCallback updateFinished, void *updateFinishedContext,
                            ErrorCallback error, void *errorContext, const char *directory);
int ZN_CALL CheckServerStatus(const char *request, int mask);
int ZN_CALL UpdateServerList(const char *version);
int ZN_CALL CancelChecking(void);
int ZN_CALL EndUpdateServerList(void);
int ZN_CALL GetServerInfo(int kind, char *host, char *port, char *description, int *transport);
int ZN_CALL CloseCheckServer(void);
int ZN_CALL SetHTTPProxy(const char *proxy);

}  // namespace api
}  // namespace zn
