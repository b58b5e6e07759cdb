// What the library did and why, step by step, as it works: for a tool that
// diagnoses a run (the host's interface never sees any of it). The steps are
// reported by the very code that does the work. With no observer installed,
// an observation costs one atomic load: callers build one only when
// Observing() says someone listens.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

namespace zn {

enum class Step {
    Connectivity,  // one connectivity-test host tried: subject, outcome
    NoInternet,    // neither connectivity host answered: no checker runs
    Probe,         // one address of an entry tried: kind, entry, subject, outcome
    Entry,         // an entry not probed: kind, entry, outcome ("invalid address", ...)
    Selected,      // a checker's end: kind, subject (the address, or empty for none)
    Send,          // one HTTPS send of a web API request: subject, outcome, code, status
    Source,        // an update source's end: entry (the source), subject, detail, outcome
    Page,          // the fallback page read: subject, status, count (servers it lists)
    Announced,     // the merge read a kind's count in the answer: kind, count
    Written,       // the merge wrote one entry: kind, entry, subject
};

struct Observation {
    explicit Observation(Step step_, std::string kind_ = std::string(),
                         std::string entry_ = std::string(), std::string subject_ = std::string())
        : step(step_),
          kind(std::move(kind_)),
          entry(std::move(entry_)),
          subject(std::move(subject_)) {}

    Step step;
    std::string kind;     // "WEB", "SIP", "IM" or "FAX"; empty when none
    std::string entry;    // "SIP2"; for a source "direct", "proxy" or "page"
    std::string subject;  // an address, a host, a URL
    std::string detail;   // the proxy; the answer's RES; the certificate unit asked for
    // Probes: "connected", "refused", "timed out", "unreachable", "name not
    // found" (the name servers know no such name), "no answer from the name
    // servers" (silent, refusing or failing), "cancelled", "failed". Sends:
    // "sent", "untrusted authority", "certificate requested", "no
    // certificate", "failed". Sources: "ok", "failed", "stopped", or why one
    // was not asked: "no proxy", "no web server", "query too long".
    std::string outcome;
    uint32_t code = 0;  // the transport's error code
    long status = 0;    // the HTTP status of an answer
    // Sends and sources through a proxy: its status to the tunnel request
    // (407 wants credentials, 403 refuses the target, 200 opened it); 0: none.
    long proxyStatus = 0;
    std::string text;  // the failure's text
    int count = -1;    // items of an answer, tags of a page
    uint32_t ms = 0;   // time the step took
};

class IObserver {
  public:
    virtual ~IObserver() = default;
    // Called on the library's threads, from the code doing the work, with no
    // library lock held. Must return quickly and never call the library.
    virtual void Observe(const Observation &observation) = 0;
};

// The one observer of the process (null: none). The observer must outlive
// every run that may report to it.
void InstallObserver(IObserver *observer);
bool Observing();
// Hands the observation to the observer, if any; never throws.
void Observe(const Observation &observation);
// The step's name in a diagnosis document: "connectivity", "no-internet",
// "probe", "entry", "selected", "send", "source", "page", "announced",
// "written".
const char *StepName(Step step);

// Milliseconds since a step began.
class StepClock {
  public:
    uint32_t Ms() const {
        return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - m_start)
                                         .count());
    }

  private:
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

}  // namespace zn
