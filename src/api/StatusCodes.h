// The one table of codes and messages the library sends to its host.
#pragma once

namespace zn {

enum StatusCode {
    kInitialised = 75000,
    kClosed = 75001,
    kCancelled = 75003,
    kChecking = 75004,  // checker progress, and the "a job is running" refusal
    kUpdateBegins = 75005,
    kNotRunning = 75007,
    kNotInitialised = 75008,
    kAlreadyInitialised = 75009,
};

namespace msg {
constexpr const char *kInitialised = "Init checking server list successfully";
constexpr const char *kClosed = "Close checking server list successfully";
constexpr const char *kCheckCancelled = "Cancel checking server list successfully!";
constexpr const char *kUpdateCancelled = "Cancel updating server list successfully!";
constexpr const char *kJobRunning = "Is checking servers";
constexpr const char *kUpdateBegins = "Begin to update server list!";
constexpr const char *kNotRunning = "Is not checking servers";
constexpr const char *kNotInitialised = "Not initiate yet";
constexpr const char *kAlreadyInitialised = "Had already initiated";
constexpr const char *kCheckFinished = "Finish all checking!";
constexpr const char *kUpdateFinished = "Finish updating!";
constexpr const char *kSocketLayerFailed =
    "In checking servers, initiate the socket unsuccessfully!";
}  // namespace msg

}  // namespace zn
