// What the command-line tool needs beyond the exported functions, in one
// place: the tool includes nothing else of the library but the public
// headers. It links the library's code statically for it; everything else it
// does through the exports of the shared library.
//
// A diagnosis runs the library's own functions (the work behind each export,
// under the same contract as in zembrixnet.h) in that statically linked copy,
// where the tool's observer is installed: the observations come from the
// very code that does the work, while hosts of the shared library see no
// change at all.
#pragma once

#include <string>

#include "platform/Console.h"      // a standard output of the tool's own
#include "platform/FileSystem.h"   // whether the file is read-only
#include "report/Observer.h"       // the diagnosis's observer
#include "report/ServerKinds.h"    // the kinds' keys in the file
#include "store/AddressCipher.h"   // the file's addresses, and the cipher's limits
#include "store/ProfileFile.h"     // the file's values as stored
#include "store/ProviderConfig.h"  // the page an update reads when the file names none
#include "store/ServerList.h"      // the file's place, keys and markers
#include "update/ListExchange.h"   // the counts an update run reads
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

// What GetServerInfo writes for one kind, from the selection the last check
// of any process recorded in the server list file at path, with no library
// initialised (a library that starts anew knows the SIP one only). The same
// results and buffers: host and port are written also when an IM selection
// names no transport.
bool ReadRecordedServerAddress(const std::string &path, int kind, char *host, char *port,
                               char *description, int *transport);

}  // namespace zn
