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

}  // namespace zn
