// doctor: a check (and an update) run by the library's own code in the
// tool's copy of it, watched through the library's observer as it happens,
// then a verdict: the causes found, each with advice.

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "api/ToolAccess.h"
#include "commands.h"
#include "host_session.h"
#include "output.h"

namespace {

using zn::Observation;
using zn::Step;

const char *const kKindNames[] = {"WEB", "SIP", "IM", "FAX"};

std::string Ms(const Observation &o) {
    return " (" + std::to_string(o.ms) + " ms)";
}

// One line per step, as the library reported it.
std::string Describe(const Observation &o) {
    const std::string code = o.code ? " " + std::to_string(o.code) : std::string();
    const std::string status = o.status ? " HTTP " + std::to_string(o.status) : std::string();
    const std::string text = o.text.empty() ? std::string() : ": " + Printable(o.text, false);
    switch (o.step) {
        case Step::Connectivity:
            return "connectivity test " + o.subject + ": " + o.outcome + Ms(o);
        case Step::NoInternet:
            return "no connectivity host answered: no server is tried";
        case Step::Probe:
            return o.kind + " " + o.entry + " " + Printable(o.subject) + ": " + o.outcome + Ms(o);
        case Step::Entry:
            return o.kind + " " + o.entry + ": " + o.outcome + " entry, not probed (" +
                   Printable(o.subject) + ")";
        case Step::Selected:
            return o.kind + ": " +
                   (o.subject.empty() ? "no server selected" : "selected " + Printable(o.subject));
        case Step::Send:
            if (o.outcome == "no certificate")
                return "client certificate: none issued under '" + Printable(o.detail, false) +
                       "' in " + Printable(o.subject, false);
            return "send " + Printable(o.subject) +
                   (o.detail.empty() ? std::string() : " [" + Printable(o.detail, false) + "]") +
                   ": " + o.outcome + code + status + Ms(o);
        case Step::Source:
            return "source " + o.entry + " " + Printable(o.subject) +
                   (o.detail.empty() ? std::string() : " [" + Printable(o.detail, false) + "]") +
                   ": " + o.outcome + code + status + text +
                   (o.count >= 0 ? ", " + std::to_string(o.count) + " servers" : std::string()) +
                   Ms(o);
        case Step::Page:
            return "fallback page " + Printable(o.subject) + ":" + status + text + ", " +
                   std::to_string(o.count < 0 ? 0 : o.count) + " servers listed" + Ms(o);
        case Step::Announced:
            return "the answer lists " + std::to_string(o.count) + " " + o.kind + " servers";
        case Step::Written:
            return "wrote " + o.entry + " " + Printable(o.subject);
    }
    return std::string();
}

// Collects every step; without --json also prints it at once.
class Watcher : public zn::IObserver {
  public:
    explicit Watcher(bool print) : m_print(print) {}

    void Observe(const Observation &observation) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        m_steps.push_back({seconds, observation});
        if (m_print) {
            std::fprintf(Out(), "%s %s\n", Paint(Out(), kDim, Stamp(seconds)).c_str(),
                         Describe(observation).c_str());
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
};

struct Cause {
    std::string id;
    std::string text;
};

std::string Lower(std::string text) {
    for (char &c : text)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

std::string Slug(std::string text) {
    for (char &c : text)
        c = c == ' ' ? '-' : c;
    return text;
}

// Why a kind got no server, from its probes (or their absence).
void DiagnoseKind(const std::string &kind, const std::vector<Observation> &steps,
                  std::vector<Cause> *causes) {
    std::map<std::string, int> outcomes;
    std::set<std::string> ports;
    int unusable = 0;
    for (const Observation &o : steps) {
        if (o.kind != kind)
            continue;
        if (o.step == Step::Entry)
            ++unusable;
        if (o.step != Step::Probe)
            continue;
        ++outcomes[o.outcome];
        const size_t colon = o.subject.rfind(':');
        if (colon != std::string::npos)
            ports.insert(o.subject.substr(colon + 1));
    }
    const std::string id = Lower(kind) + "-";
    if (outcomes.empty()) {
        causes->push_back(
            {id + "no-usable-entry",
             (unusable ? "no " + kind + " entry holds a usable address (" +
                             std::to_string(unusable) + " missing, malformed or invalid)"
                       : "the file lists no " + kind + " server") +
                 ": an update brings fresh ones"});
        return;
    }
    std::string portList;
    for (const std::string &port : ports)
        portList += (portList.empty() ? "" : " or ") + port;
    if (outcomes.size() > 1) {
        std::string counts;
        for (const auto &outcome : outcomes)
            counts +=
                (counts.empty() ? "" : ", ") + std::to_string(outcome.second) + " " + outcome.first;
        causes->push_back({id + "no-answer", "no " + kind + " server answered (" + counts + ")"});
        return;
    }
    const std::string &outcome = outcomes.begin()->first;
    std::string advice;
    if (outcome == "refused")
        advice =
            "the provider's " + kind + " servers are down or a firewall rejects port " + portList;
    else if (outcome == "timed out")
        advice = "a firewall drops packets to port " + portList + ", or the servers are down";
    else if (outcome == "unreachable")
        advice = "there is no route to them: look at the network or a firewall";
    else if (outcome == "name not found")
        advice = "their names cannot be looked up: look at the name servers";
    else
        advice = "see the steps above";
    causes->push_back(
        {id + Slug(outcome), "every " + kind + " server " +
                                 (outcome == "name not found" ? "had its " + outcome : outcome) +
                                 ": " + advice});
}

// Why a web API source failed, from its sends and its end.
void DiagnoseApiSource(const Observation &source, const std::vector<Observation> &sends,
                       std::vector<Cause> *causes) {
    const bool viaProxy = source.entry == "proxy";
    for (const Observation &send : sends) {
        if (send.outcome == "no certificate")
            causes->push_back({"no-client-certificate", "no certificate issued under '" +
                                                            send.detail + "' in " + send.subject +
                                                            ": the web API asks for one"});
    }
    if (source.outcome == "no proxy") {
        causes->push_back({"no-proxy",
                           "no HTTP proxy set, so the web API was not asked through "
                           "one (zembrix-netcheck proxy HOST:PORT sets it)"});
        return;
    }
    if (source.outcome == "no web server") {
        causes->push_back({"no-web-server",
                           "the check selected no web server, so the web API "
                           "was not asked"});
        return;
    }
    if (source.outcome != "failed")
        return;
    const std::string where = "the web API at " + source.subject;
    switch (source.code) {
        case 0:
            if (source.status != 0 && source.status != 200)
                causes->push_back({"web-api-http-status",
                                   where + " answered HTTP " + std::to_string(source.status)});
            else if (source.status == 200)
                causes->push_back({"web-api-res", where + " answered RES '" +
                                                      Printable(source.detail, false) +
                                                      "' instead of 'OK'"});
            return;
        case 12044:
            return;  // the certificate, named above
        case 12002:
        case 12017:
            causes->push_back({viaProxy ? "proxy-timeout" : "web-api-timeout",
                               where + (viaProxy ? " through the proxy " + source.detail : "") +
                                   " did not answer within the source's time"});
            return;
        case 12007:
        case 12029:
            if (viaProxy)
                causes->push_back(
                    {"proxy-refused", "the proxy " + source.detail +
                                          (source.code == 12007 ? " has a name nobody knows"
                                                                : " refused the connection")});
            else
                causes->push_back({"web-api-unreachable",
                                   where + " cannot be reached (refused, or no route to it)"});
            return;
        case 12040:
        case 12156:
            causes->push_back(
                {"web-api-redirect", where + " redirected away from its own server: not followed"});
            return;
        case 12045:
            causes->push_back({"untrusted-authority", where + " presents a certificate from an "
                                                              "authority nobody trusts"});
            return;
        default:
            causes->push_back({viaProxy ? "proxy-failed" : "web-api-failed",
                               where + " failed: " + std::to_string(source.code) + " " +
                                   Printable(source.text, false)});
    }
}

std::vector<Cause> Diagnose(const std::vector<Observation> &steps, bool updated) {
    std::vector<Cause> causes;
    bool noInternet = false;
    std::string hosts;
    for (const Observation &o : steps) {
        noInternet = noInternet || o.step == Step::NoInternet;
        if (o.step == Step::Connectivity)
            hosts += (hosts.empty() ? "" : ", ") + o.subject + " " + o.outcome;
    }
    if (noInternet)
        causes.push_back({"no-internet", "both connectivity hosts unreachable (" + hosts +
                                             "): no internet access, so no server was tried"});
    for (const Observation &o : steps) {
        if (o.step == Step::Selected && o.subject.empty())
            DiagnoseKind(o.kind, steps, &causes);
    }
    if (!updated)
        return causes;

    std::vector<Observation> sends;
    for (const Observation &o : steps) {
        if (o.step == Step::Send) {
            sends.push_back(o);
            if (o.outcome == "untrusted authority")
                causes.push_back(
                    {"untrusted-authority", "the web API at " + o.subject +
                                                " presents a certificate from an authority nobody "
                                                "trusts: the library relaxed its checks to go on"});
        } else if (o.step == Step::Source && o.entry != "page") {
            DiagnoseApiSource(o, sends, &causes);
            sends.clear();
        } else if (o.step == Step::Page && o.status != 0 && o.status != 200) {
            causes.push_back({"page-missing", "the fallback page " + o.subject +
                                                  " is missing (HTTP " + std::to_string(o.status) +
                                                  ")"});
        } else if (o.step == Step::Page && !o.text.empty()) {
            causes.push_back(
                {"page-unreadable", "the fallback page " + o.subject +
                                        " could not be read: " + Printable(o.text, false)});
        } else if (o.step == Step::Page && o.count <= 0) {
            causes.push_back(
                {"page-no-tags", "the fallback page " + o.subject + " carries no server tags"});
        }
    }
    // The same cause seen on two sends is named once.
    std::vector<Cause> unique;
    std::set<std::string> seen;
    for (const Cause &cause : causes) {
        if (seen.insert(cause.id + cause.text).second)
            unique.push_back(cause);
    }
    return unique;
}

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

    Watcher watcher(!options.json);
    zn::InstallObserver(&watcher);
    bool cancelled = false;
    {
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
    const std::vector<Cause> causes = Diagnose(observations, options.update);
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
            std::fprintf(Out(), "  - %s\n", cause.text.c_str());
    }
    if (cancelled) {
        std::fprintf(stderr, "zembrix-netcheck doctor: cancelled by Ctrl-C\n");
        return kExitInterrupted;
    }
    return ok ? kExitSuccess : kExitNotFound;
}
