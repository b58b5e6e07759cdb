#include "platform/TimeLimits.h"

namespace zn {

TimeLimits &Limits() {
    // Never destroyed: threads that outlive static destruction may read it.
    static TimeLimits *limits = new TimeLimits;
    return *limits;
}

}  // namespace zn
