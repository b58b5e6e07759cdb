// What a job tells its host while it runs, and which file it works on. The
// interface layer implements it; the check run, its checkers and the update
// job are handed one, so they never reach up to the host themselves.
#pragma once

#include <string>

#include "report/Messages.h"

namespace zn {

class IJobReporter {
  public:
    virtual ~IJobReporter() = default;

    // Sends a status message to the host, with no library lock held.
    virtual void Status(const Message &message) = 0;
    // Records the server a check selected for one kind (hex text, or "04"
    // when none answered), for the host to ask for later.
    virtual void SetLastSelected(int kindIndex, const std::string &value) = 0;
    // The server list file the job reads and writes.
    virtual std::string ServerListFile() = 0;
};

// The reporter of the library's host, installed by the interface layer when
// the library loads. For checkers made outside a check run.
IJobReporter &HostReporter();
void InstallHostReporter(IJobReporter *reporter);

}  // namespace zn
