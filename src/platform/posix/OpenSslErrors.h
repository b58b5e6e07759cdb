// What every user of OpenSSL in this build shares about its error queue.
#pragma once

#include <openssl/err.h>

namespace zn {

// Errors we cause must not reach the host's view of the thread's error queue;
// the mark keeps whatever the host left there.
class ErrorQueueMark {
  public:
    ErrorQueueMark() { ERR_set_mark(); }
    ~ErrorQueueMark() { ERR_pop_to_mark(); }
    ErrorQueueMark(const ErrorQueueMark &) = delete;
    ErrorQueueMark &operator=(const ErrorQueueMark &) = delete;
};

}  // namespace zn
