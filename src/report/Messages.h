// Every status code and fixed message the library sends its host, in one
// table. Hosts match on both: never change a code or a text (spelling
// included).
#pragma once

#include "zembrixnet.h"

namespace zn {

// The codes of the public header, by its names (StatusCode::CHECKING is
// ZN_STATUS_CHECKING).
enum class StatusCode : int {
    None = 0,  // the finish callbacks and the load notice carry no code
#define ZN_STATUS_CODE(name) name = ZN_STATUS_##name,
    ZN_STATUS_MAP(ZN_STATUS_CODE)
#undef ZN_STATUS_CODE
};

// name, code, text
#define ZN_MESSAGES(X)                                                         \
    X(Initialised, INITIALISED, "Init checking server list successfully")      \
    X(Closed, CLOSED, "Close checking server list successfully")               \
    X(CheckCancelled, CANCELLED, "Cancel checking server list successfully!")  \
    X(UpdateCancelled, CANCELLED, "Cancel updating server list successfully!") \
    X(WebCheckBegins, CHECKING, "Begin to check Website!")                     \
    X(WebCheckFinished, CHECKING, "Finish Checking Website!")                  \
    X(SipCheckBegins, CHECKING, "Begin to check SIP proxy!")                   \
    X(SipCheckFinished, CHECKING, "Finish checking SIP proxy!")                \
    X(ImCheckBegins, CHECKING, "Begin to check jabber server!")                \
    X(ImCheckFinished, CHECKING, "Finsih Checking Jabber Server!")             \
    X(FaxCheckBegins, CHECKING, "Begin to check Fax Server!")                  \
    X(FaxCheckFinished, CHECKING, "Finish checking FAX proxy!")                \
    X(JobRunning, CHECKING, "Is checking servers")                             \
    X(UpdateBegins, UPDATE_BEGIN, "Begin to update server list!")              \
    X(NotRunning, NOT_RUNNING, "Is not checking servers")                      \
    X(NotInitialised, NOT_INITIALISED, "Not initiate yet")                     \
    X(AlreadyInitialised, ALREADY_INITIALISED, "Had already initiated")        \
    X(CheckFinished, None, "Finish all checking!")                             \
    X(UpdateFinished, None, "Finish updating!")                                \
    X(SocketLayerFailed, None, "In checking servers, initiate the socket unsuccessfully!")

struct Message {
    StatusCode code;
    const char *text;

    int Code() const { return static_cast<int>(code); }
};

namespace msg {
#define ZN_DEFINE_MESSAGE(name, code, text) constexpr Message k##name{StatusCode::code, text};
ZN_MESSAGES(ZN_DEFINE_MESSAGE)
#undef ZN_DEFINE_MESSAGE
}  // namespace msg

}  // namespace zn
