// The library's hold on its own code, and the one start-up failure it shows.
#pragma once

namespace zn {

// Called by whoever starts a library thread, before it starts: the library
// stays loaded, whatever the host unloads, until the thread gives its hold
// back. Without it, a host that unloads the library while one of our threads
// runs would pull the code from under that thread.
void HoldLibraryForThread();

// Gives back a hold whose thread could not be started; called by its starter.
void ReleaseUnstartedThreadHold();

// The last call of a library thread, after everything it touched is done:
// gives its hold back. Where that may unload the library, the thread ends
// inside this call instead of returning into code that is gone.
void ReleaseHoldAndEndThread();

// Tells the user that the socket layer could not start, the platform's usual
// way (a message box where there is one).
void ShowSocketLayerFailure(const char *text);

}  // namespace zn
