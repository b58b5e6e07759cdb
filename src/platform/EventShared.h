// What every platform's events share: the test hook's pending failures.
#pragma once

namespace zn {

// True, once per pending failure, when the test hook asked creations to fail.
bool ShouldFailEventCreation();

}  // namespace zn
