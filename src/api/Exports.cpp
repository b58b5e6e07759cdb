// The eight exported functions under their plain C names. Each forwards to
// its work in Library.cpp, which the command-line tool can also link on its
// own, without these names (see ToolAccess.h).

#include "api/ToolAccess.h"
#include "zembrixnet.h"

extern "C" {

ZN_API int InitCheckServer(StatusCallback status, void *statusContext,
                           CheckFinishedCallback checkFinished, void *checkFinishedContext,
                           UpdateFinishedCallback updateFinished, void *updateFinishedContext,
                           ErrorCallback error, void *errorContext, const char *directory) {
    return zn::api::InitCheckServer(status, statusContext, checkFinished, checkFinishedContext,
                                    updateFinished, updateFinishedContext, error, errorContext,
                                    directory);
}

ZN_API int CheckServerStatus(const char *request, int mask) {
    return zn::api::CheckServerStatus(request, mask);
}

ZN_API int UpdateServerList(const char *version) {
    return zn::api::UpdateServerList(version);
}

ZN_API int CancelChecking(void) {
    return zn::api::CancelChecking();
}

ZN_API int EndUpdateServerList(void) {
    return zn::api::EndUpdateServerList();
}

ZN_API int GetServerInfo(int kind, char *host, char *port, char *description, int *transport) {
    return zn::api::GetServerInfo(kind, host, port, description, transport);
}

ZN_API int CloseCheckServer(void) {
    return zn::api::CloseCheckServer();
}

ZN_API int SetHTTPProxy(const char *proxy) {
    return zn::api::SetHTTPProxy(proxy);
}

}  // extern "C"
