#include "report/Observer.h"

#include <atomic>

namespace zn {

namespace {
std::atomic<IObserver *> g_observer{nullptr};
}  // namespace

void InstallObserver(IObserver *observer) {
    g_observer.store(observer, std::memory_order_release);
}

bool Observing() {
    return g_observer.load(std::memory_order_relaxed) != nullptr;
}

void Observe(const Observation &observation) {
    IObserver *observer = g_observer.load(std::memory_order_acquire);
    if (!observer)
        return;
    try {
        observer->Observe(observation);
    } catch (...) {
        // A failing observer must not change the run it watches.
    }
}

const char *StepName(Step step) {
    switch (step) {
        case Step::Connectivity:
            return "connectivity";
        case Step::NoInternet:
            return "no-internet";
        case Step::Probe:
            return "probe";
        case Step::Entry:
            return "entry";
        case Step::Selected:
            return "selected";
        case Step::Send:
            return "send";
        case Step::Source:
            return "source";
        case Step::Page:
            return "page";
        case Step::Announced:
            return "announced";
        case Step::Written:
            return "written";
    }
    return "";
}

}  // namespace zn
