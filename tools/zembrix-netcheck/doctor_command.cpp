// doctor: the directory and its file looked at, then a check (and an
// update) run by the library's own code in the tool's copy of it, watched
// through the library's observer as it happens, then a verdict: the causes
// found, each with advice (doctor_causes.cpp).

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "api/ToolAccess.h"
#include "commands.h"
#include "doctor_causes.h"
#include "host_session.h"
#include "output.h"

namespace {

using zn::Observation;
using zn::Step;

const char *const kKindNames[] = {"WEB", "SIP", "IM", "FAX"};

std::string Ms(const Observation &o) {
    return " (" + std::to_string(o.ms) + " ms)";
}

// One line per step, as the library reported it; outside texts in it are
// escaped where it is printed.
std::string Describe(const Observation &o) {
    const std::string code =
        o.code ? " " + std::to_string(o.code) + " (" + CodeWords(o.code) + ")" : std::string();
    const std::string status = o.status ? " HTTP " + std::to_string(o.status) : std::string();
    // With a code, the failure's own text is the library's internal wording.
    const std::string text = o.text.empty() || o.code ? std::string() : ": " + PageFailure(o.text);
    switch (o.step) {
        case Step::Connectivity:
            return "connectivity test " + o.subject + ": " + o.outcome + Ms(o);
        case Step::NoInternet:
            return "no connectivity host answered: no server is tried";
        case Step::Probe:
            return o.kind + " " + o.entry + " " + o.subject + ": " + o.outcome + Ms(o);
        case Step::Entry:
            return o.kind + " " + o.entry + ": " + o.outcome + " entry, not probed (" + o.subject +
                   ")";
        case Step::Selected:
            return o.kind + ": " +
                   (o.subject.empty() ? "no server selected" : "selected " + o.subject);
        case Step::Send:
            if (o.outcome == "no certificate")
                return "client certificate: none issued under '" + o.detail + "' in " + o.subject;
            return "send " + o.subject +
                   (o.detail.empty() ? std::string() : " [" + o.detail + "]") + ": " + o.outcome +
                   code + status + Ms(o);
        case Step::Source:
            return "source " + o.entry + " " + o.subject +
                   (o.detail.empty() ? std::string() : " [" + o.detail + "]") + ": " + o.outcome +
                   code + status + text +
                   (o.count >= 0 ? ", " + std::to_string(o.count) + " servers" : std::string()) +
                   Ms(o);
        case Step::Page:
            return "fallback page " + o.subject + ":" + status +
                   (o.text.empty() ? std::string() : " " + PageFailure(o.text)) + ", " +
                   std::to_string(o.count < 0 ? 0 : o.count) + " servers listed" + Ms(o);
        case Step::Announced:
            return "the answer lists " + std::to_string(o.count) + " " + o.kind + " servers";
        case Step::Written:
            return "wrote " + o.entry + " " + o.subject;
    }
    return std::string();
}

// Collects every step; without --json also prints it at once.
class Watcher : public zn::IObserver {
  public:
    explicit Watcher(bool print) : m_print(print) {}

    void Observe(const Observation &reported) override {
        // The proxy's password goes no further than here.
        Observation observation = reported;
        const bool proxyDetail =
            (observation.step == Step::Send && observation.outcome != "no certificate") ||
            (observation.step == Step::Source && observation.entry == "proxy");
        if (proxyDetail)
            observation.detail = WithoutPassword(observation.detail);
        std::lock_guard<std::mutex> lock(m_mutex);
        // What the merge read means something only when an answer came.
        m_answerCame = m_answerCame || AnswerCame({observation});
        if (observation.step == Step::Announced && !m_answerCame)
            return;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        m_steps.push_back({seconds, observation});
        if (m_print) {
            std::fprintf(Out(), "%s %s\n", Paint(Out(), kDim, Stamp(seconds)).c_str(),
                         Printable(Describe(observation), Shown::kLine).c_str());
            std::fflush(Out());
        }
    }

    struct Seen {
        double seconds;
        Observation observation;
    };
    std::vector<Seen> Steps() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_steps;
    }

  private:
    static std::string Stamp(double seconds) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%6.2fs]", seconds);
        return stamp;
    }

    const bool m_print;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::mutex m_mutex;
    std::vector<Seen> m_steps;
    bool m_answerCame = false;
};

std::string StepsAsJson(const std::vector<Watcher::Seen> &steps) {
    std::vector<std::string> items;
    for (const Watcher::Seen &seen : steps) {
        const Observation &o = seen.observation;
        JsonObject item;
        item.Number("at", seen.seconds).String("step", zn::StepName(o.step));
        for (const auto &field :
             {std::make_pair("kind", &o.kind), std::make_pair("entry", &o.entry),
              std::make_pair("subject", &o.subject), std::make_pair("detail", &o.detail),
              std::make_pair("outcome", &o.outcome), std::make_pair("text", &o.text)}) {
            if (!field.second->empty())
                item.String(field.first, *field.second);
        }
        if (o.code)
            item.Raw("code", std::to_string(o.code));
        if (o.status)
            item.Raw("status", std::to_string(o.status));
        if (o.proxyStatus)
            item.Raw("proxyStatus", std::to_string(o.proxyStatus));
        if (o.count >= 0)
            item.Raw("count", std::to_string(o.count));
        items.push_back(item.Raw("ms", std::to_string(o.ms)).Text());
    }
    return JsonArray(items);
}

}  // namespace

int CmdDoctor(int argc, char **argv) {
    CommandOptions options;
    std::vector<std::string> rest;
    if (!ParseArguments("doctor", kDirOption | kJsonOption | kVersionOption | kUpdateOption, argc,
                        argv, 0, &options, &rest))
        return kExitUsage;

    // The directory and the file first: a run that cannot record its results
    // would only show their consequences.
    const Cause place = PlaceCause(options.directory);
    Watcher watcher(!options.json);
    zn::InstallObserver(&watcher);
    bool cancelled = false;
    if (place.id.empty()) {
        HostSession session(options.directory, ToolsOwnLibrary());
        if (!session.Ok()) {
            zn::InstallObserver(nullptr);
            return kExitNotFound;
        }
        const int all = ZN_KIND_WEB | ZN_KIND_SIP | ZN_KIND_IM | ZN_KIND_FAX;
        if (session.Calls().checkServerStatus("", all) == 1)
            cancelled = session.WaitForCheckFinished();
        if (!cancelled && options.update &&
            session.Calls().updateServerList(options.version.c_str()) == 1)
            cancelled = session.WaitForUpdateFinished();
    }
    // The session has closed the library: every step has been reported.
    zn::InstallObserver(nullptr);
    const std::vector<Watcher::Seen> steps = watcher.Steps();
    std::vector<Observation> observations;
    int selected = 0, written = 0;
    for (const Watcher::Seen &seen : steps) {
        observations.push_back(seen.observation);
        selected += seen.observation.step == Step::Selected && !seen.observation.subject.empty();
        written += seen.observation.step == Step::Written;
    }
    RunFacts facts;
    facts.directory = options.directory;
    facts.updated = options.update;
    facts.cancelled = cancelled;
    const std::vector<Cause> causes =
        place.id.empty() ? Diagnose(observations, facts) : std::vector<Cause>{place};
    const bool allFound = selected == static_cast<int>(sizeof kKindNames / sizeof *kKindNames);
    const bool ok = allFound && (!options.update || written > 0);

    if (options.json) {
        std::vector<std::string> items;
        for (const Cause &cause : causes)
            items.push_back(JsonObject().String("id", cause.id).String("text", cause.text).Text());
        JsonObject document;
        document.Bool("cancelled", cancelled)
            .Raw("steps", StepsAsJson(steps))
            .Bool("allFound", allFound)
            .Bool("updated", options.update)
            .Raw("written", std::to_string(written))
            .Raw("causes", JsonArray(items));
        std::fprintf(Out(), "%s\n", document.Text().c_str());
    } else {
        std::fprintf(Out(), "\nverdict: %s\n",
                     Paint(Out(), ok ? kGreen : kRed,
                           ok ? "every kind has a server" +
                                    std::string(options.update ? " and the update wrote " : "") +
                                    (options.update ? std::to_string(written) + " entries" : "")
                              : "something is wrong")
                         .c_str());
        for (const Cause &cause : causes)
            std::fprintf(Out(), "  - %s\n", Printable(cause.text, Shown::kLine).c_str());
    }
    if (cancelled) {
        std::fprintf(stderr, "zembrix-netcheck doctor: cancelled by Ctrl-C\n");
        return kExitInterrupted;
    }
    return ok ? kExitSuccess : kExitNotFound;
}
