// Every status code and fixed message the library sends its host, in one
// table. Hosts match on both: never change a code or a text (spelling
// included).
#pragma once

namespace zn {

enum class StatusCode : int {
    None = 0,  // the finish callbacks and the load notice carry no code
    Initialised = 75000,
    Closed = 75001,
    Cancelled = 75003,
    Checking = 75004,  // checker progress, and the "a job is running" refusal
    UpdateBegins = 75005,
    NotRunning = 75007,
    NotInitialised = 75008,
    AlreadyInitialised = 75009,
};

// name, code, text
#define ZN_MESSAGES(X)                                                         \
    X(Initialised, Initialised, "Init checking server list successfully")      \
    X(Closed, Closed, "Close checking server list successfully")               \
    X(CheckCancelled, Cancelled, "Cancel checking server list successfully!")  \
    X(UpdateCancelled, Cancelled, "Cancel updating server list successfully!") \
    X(WebCheckBegins, Checking, "Begin to check Website!")                     \
    X(WebCheckFinished, Checking, "Finish Checking Website!")                  \
    X(SipCheckBegins, Checking, "Begin to check SIP proxy!")                   \
    X(SipCheckFinished, Checking, "Finish checking SIP proxy!")                \
    X(ImCheckBegins, Checking, "Begin to check jabber server!")                \
    X(ImCheckFinished, Checking, "Finsih Checking Jabber Server!")             \
    X(FaxCheckBegins, Checking, "Begin to check Fax Server!")                  \
    X(FaxCheckFinished, Checking, "Finish checking FAX proxy!")                \
    X(JobRunning, Checking, "Is checking servers")                             \
    X(UpdateBegins, UpdateBegins, "Begin to update server list!")              \
    X(NotRunning, NotRunning, "Is not checking servers")                       \
    X(NotInitialised, NotInitialised, "Not initiate yet")                      \
    X(AlreadyInitialised, AlreadyInitialised, "Had already initiated")         \
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
