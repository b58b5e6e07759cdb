// Work that nobody may wait for: joining threads that may still be inside a
// call we cannot cut short, and freeing what they use. It runs on a thread
// of the library's own that ends when no work is left and is never joined
// (it may still be running when the process exits), so no host thread and no
// exit handler ever waits.
#pragma once

#include <functional>

namespace zn {

// Runs finish on the reaper's thread, after everything queued before; never
// on the caller's thread. Throws only when out of memory for the queue.
void FinishInBackground(std::function<void()> finish);

}  // namespace zn
