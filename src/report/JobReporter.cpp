#include "report/JobReporter.h"

#include <atomic>

namespace zn {

namespace {
// Reports nothing: a checker made before the interface layer has loaded.
class SilentReporter : public IJobReporter {
  public:
    void Status(const Message &) override {}
    void SetLastSelected(int, const std::string &) override {}
    std::string ServerListFile() override { return std::string(); }
};

std::atomic<IJobReporter *> g_hostReporter{nullptr};
}  // namespace

IJobReporter &HostReporter() {
    // Never destroyed: a job may still report while the process exits.
    static SilentReporter *silent = new SilentReporter;
    IJobReporter *reporter = g_hostReporter.load();
    return reporter ? *reporter : *silent;
}

void InstallHostReporter(IJobReporter *reporter) {
    g_hostReporter = reporter;
}

}  // namespace zn
