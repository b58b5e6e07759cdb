// The library as a loaded module: how it leaves, and the one start-up
// failure it shows.
#pragma once

namespace zn {

// True while the host unloads the library before the process's end (on
// Windows: FreeLibrary gave back the last hold). Every thread of the library
// holds it loaded (see SystemThread), so none of them runs then: static
// destructors may free the process-wide state they would otherwise leave
// for the process's end. False at the process's exit, where the system may
// have ended a thread of ours in the middle of anything.
bool UnloadedByHost();

// True while the calling thread holds the system loader's lock (on Windows:
// inside some module's DllMain, ours or another's). No thread can start or
// end then until the caller returns, so nothing may wait for one.
bool UnderLoaderLock();

// Tells the user that the socket layer could not start, the platform's usual
// way (a message box where there is one).
void ShowSocketLayerFailure(const char *text);

}  // namespace zn
