#include "check/ServerChecker.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>

#include "platform/TestHooks.h"
#include "report/Observer.h"
#include "report/ServerKinds.h"
#include "store/ServerList.h"
#include "zembrixnet.h"

namespace zn {

const CheckerKind kWebCheckerKind = {
    kWebIndex, "WEBNUM", "WEB", "WEB", msg::kWebCheckBegins, msg::kWebCheckFinished, false};
const CheckerKind kSipCheckerKind = {
    kSipIndex, "SIPNUM", "SIP", "SIP", msg::kSipCheckBegins, msg::kSipCheckFinished, true};
const CheckerKind kImCheckerKind = {
    kImIndex, "IMNUM", "IM", "IM", msg::kImCheckBegins, msg::kImCheckFinished, true};
const CheckerKind kFaxCheckerKind = {
    kFaxIndex, "FAXNUM", "FAX", "FAX", msg::kFaxCheckBegins, msg::kFaxCheckFinished, true};

namespace {

// Address parts are handled in address buffers elsewhere too.
constexpr size_t kMaxAddressPart = ZN_ADDRESS_BUFFER_BYTES - 1;
// Buffers of an IM entry's port texts and of its text after the colon.
constexpr size_t kMaxImPortText = 19;
constexpr size_t kMaxImPortList = 51;

}  // namespace

int ChooseStartEntry(int kindIndex, int n) {
    if (const auto choose = TestHooks().startEntryChooser.Get())
        return choose(kindIndex, n);
    // A generator of the checker's own, seeded from the time in seconds at
    // every run.
    std::minstd_rand generator(static_cast<std::minstd_rand::result_type>(std::time(nullptr)));
    return static_cast<int>(generator() % static_cast<unsigned>(n)) + 1;
}

bool IsValidServerAddress(const std::string &plain) {
    int a = -1, b = -1, c = -1, d = -1, port = -1;
    std::sscanf(plain.c_str(), "%d.%d.%d.%d:%d", &a, &b, &c, &d, &port);
    if (a >= 0 && b >= 0 && c >= 0 && d >= 0 && port >= 0)
        return true;
    std::string host, portText;
    return SplitNamedAddress(plain, &host, &portText) && !portText.empty() &&
           portText.size() <= 5 && portText.find_first_not_of("0123456789") == std::string::npos;
}

bool IsValidImAddress(const std::string &plain) {
    std::string host, list;
    if (SplitNamedAddress(plain, &host, &list))
        return list.size() <= kMaxImPortList;
    int a = -1, b = -1, c = -1, d = -1, end = -1;
    std::sscanf(plain.c_str(), "%d.%d.%d.%d%n", &a, &b, &c, &d, &end);
    if (a < 0 || b < 0 || c < 0 || d < 0)
        return false;
    // The text after the colon, up to white space, must fit its buffer.
    if (end < 0 || static_cast<size_t>(end) >= plain.size() || plain[end] != ':')
        return true;
    const char *const whitespace = " \t\n\v\f\r";
    const size_t begin = plain.find_first_not_of(whitespace, end + 1);
    if (begin == std::string::npos)
        return true;
    size_t stop = plain.find_first_of(whitespace, begin);
    if (stop == std::string::npos)
        stop = plain.size();
    return stop - begin <= kMaxImPortList;
}

CServerChecker::CServerChecker(const CheckerKind &kind, CheckerSignals &signals,
                               IJobReporter &reporter)
    : m_kind(kind), m_signals(signals), m_reporter(reporter) {
    m_cipher.DeriveKey();
}

CServerChecker::~CServerChecker() {
    Join();
}

void CServerChecker::RequestStop() {
    m_hStopEvent.Set();
    m_probe.CancelBlockingCall();
}

int CServerChecker::ProbeServer(const std::string &host, const std::string &portText) {
    ++m_nProbes;
    if (!Observing())
        return m_probe.ProbeServer(host, portText, Limits().probeWaitMs, &m_hStopEvent);
    const StepClock clock;
    const int answered = m_probe.ProbeServer(host, portText, Limits().probeWaitMs, &m_hStopEvent);
    Observation seen(Step::Probe, m_kind.entryPrefix, m_strEntry, JoinHostAndPort(host, portText));
    seen.outcome = ProbeOutcomeText(m_probe.LastFailure());
    seen.ms = clock.Ms();
    Observe(seen);
    return answered;
}

void CServerChecker::ObserveEntry(const std::string &key, const std::string &subject,
                                  const char *outcome) {
    if (!Observing())
        return;
    Observation seen(Step::Entry, m_kind.entryPrefix, key, subject);
    seen.outcome = outcome;
    Observe(seen);
}

void CServerChecker::ObserveSelection(const std::string &selection) {
    if (Observing())
        Observe(Observation(Step::Selected, m_kind.entryPrefix, m_strEntry,
                            selection.empty() ? selection : m_cipher.Decipher(selection)));
}

std::string CServerChecker::EntryKey(int number) const {
    return m_kind.entryPrefix + std::to_string(number);
}

void CServerChecker::Write(const std::string &key, const std::string &value) {
    m_profile.SetValue(kNetworkSection, key, value);
}

void CServerChecker::Finish() {
    m_reporter.Status(m_kind.finishMessage);
    m_signals.SignalDone();
}

// The finish message, where the kind sends one after a stop, goes before the
// done event: the manager's "Finish all checking!" then always comes last.
void CServerChecker::StopPath() {
    if (m_kind.finishMessageAfterStop) {
        Finish();
        return;
    }
    m_signals.SignalDone();
}

CServerChecker::Outcome CServerChecker::ProbeEntry(const std::string &addressPart,
                                                   const std::string &plain,
                                                   std::string *selection) {
    if (!IsValidServerAddress(plain))
        return Outcome::Failed;
    std::string host, port;
    SplitAtLastColon(plain, &host, &port);
    if (!ProbeServer(host, port))
        return Outcome::Failed;
    *selection = addressPart;
    return Outcome::Selected;
}

int CServerChecker::Run() {
    try {
        RunChecks();
    } catch (...) {
        // However the run ends, the manager must learn that it has.
        m_signals.SignalDone();
    }
    // The run's probes are over: their thread ends now, not with the checker.
    m_probe.ReleaseThread();
    return 0;
}

void CServerChecker::RunChecks() {
    const int index = m_kind.index;
    m_signals.m_hDone.ResetEvent();
    m_signals.m_bRunning = 1;
    m_reporter.Status(m_kind.beginMessage);
    m_reporter.SetLastSelected(index, kNone);
    m_profile.m_strFileName = m_reporter.ServerListFile();

    int n = std::atoi(
        m_profile.GetValue(kNetworkSection, m_kind.countKey, std::to_string(kEntryCountWhenMissing))
            .c_str());
    if (static_cast<unsigned>(n) > MAX_CHECK_ENTRIES)
        n = MAX_CHECK_ENTRIES;
    if (n == 0) {
        // No entry to start from: nothing to probe, nothing selected.
        Write(m_kind.selectionKey, kNone);
        ObserveSelection(std::string());
        Finish();
        return;
    }

    for (int k = 1; k <= n; ++k) {
        const std::string text = m_profile.GetValue(kNetworkSection, EntryKey(k), kMissing);
        const size_t comma = text.rfind(',');
        if (comma != std::string::npos && text.compare(comma + 1, std::string::npos, "1") == 0) {
            Write(EntryKey(k), text.substr(0, comma) + ",0");
        }
    }

    // The start entry first, then every entry from the first upward (the
    // start entry again among them): at most n + 1 probes.
    const int start = ChooseStartEntry(index, n);
    std::string text = m_profile.GetValue(kNetworkSection, EntryKey(start), kMissing);
    int i = 0;
    for (;;) {
        // The pause before each entry ends at once on a stop.
        if (m_hStopEvent.Wait(Limits().entryPauseMs) != WaitResult::TimedOut) {
            StopPath();
            return;
        }
        const std::string key = EntryKey(i == 0 ? start : i);
        const size_t comma = text.rfind(',');
        const std::string status =
            comma == std::string::npos ? std::string() : text.substr(comma + 1);
        if (comma == std::string::npos || (status != "0" && status != "1" && status != "-1")) {
            ObserveEntry(key, text, text == kMissing ? "missing" : "malformed");
            Write(key, text + ",-1");
        } else {
            const std::string addressPart = text.substr(0, comma);
            std::string selection;
            m_strEntry = key;
            m_nProbes = 0;
            const std::string plain = addressPart.size() > kMaxAddressPart
                                          ? std::string()
                                          : m_cipher.Decipher(addressPart);
            const Outcome outcome = addressPart.size() > kMaxAddressPart
                                        ? Outcome::Failed
                                        : ProbeEntry(addressPart, plain, &selection);
            if (outcome == Outcome::Failed && m_nProbes == 0)
                ObserveEntry(key, plain, "invalid address");
            if (outcome == Outcome::Stopped) {
                StopPath();
                return;
            }
            if (outcome == Outcome::Selected) {
                if (MarkEntryBeforeSelection())
                    Write(key, addressPart + ",1");
                Write(m_kind.selectionKey, selection);
                m_reporter.SetLastSelected(index, selection);
                ObserveSelection(selection);
                if (!MarkEntryBeforeSelection())
                    Write(key, addressPart + ",1");
                Finish();
                return;
            }
            Write(key, addressPart + ",-1");
        }
        ++i;
        text = m_profile.GetValue(kNetworkSection, EntryKey(i), kMissing);
        if (i > n) {
            Write(m_kind.selectionKey, kNone);
            m_reporter.SetLastSelected(index, kNone);
            ObserveSelection(std::string());
            Finish();
            return;
        }
    }
}

int CIMChecker::SplitTransportPorts(const std::string &list, std::string *tcpPort,
                                    std::string *httpsPort, std::string *httpPort) {
    const size_t p1 = list.find("TCP");
    if (p1 == std::string::npos)
        return 0;
    const size_t p2 = list.find("HTTPS", p1 + 3);
    if (p2 == std::string::npos)
        return 0;
    const size_t p3 = list.find("HTTP", p2 + 5);
    if (p3 == std::string::npos)
        return 0;
    *tcpPort = list.substr(0, p1);
    *httpsPort = list.substr(p1 + 3, p2 - p1 - 3);
    *httpPort = list.substr(p2 + 5, p3 - p2 - 5);
    return 1;
}

CServerChecker::Outcome CIMChecker::ProbeEntry(const std::string &, const std::string &plain,
                                               std::string *selection) {
    if (!IsValidImAddress(plain))
        return Outcome::Failed;
    std::string host, list;
    SplitAtLastColon(plain, &host, &list);
    std::string tcp, https, http;
    if (!SplitTransportPorts(list, &tcp, &https, &http))
        return Outcome::Failed;
    if (tcp.size() > kMaxImPortText || https.size() > kMaxImPortText ||
        http.size() > kMaxImPortText) {
        return Outcome::Failed;
    }
    m_strTcpPort = tcp;
    m_strHttpsPort = https;
    m_strHttpPort = http;

    static const char *const kWords[] = {"TCP", "HTTPS", "HTTP"};
    const std::string *const ports[] = {&m_strTcpPort, &m_strHttpsPort, &m_strHttpPort};
    for (m_nTransport = 0; m_nTransport < 3; ++m_nTransport) {
        if (StopRequested())
            return Outcome::Stopped;
        const std::string &port = *ports[m_nTransport];
        if (ProbeServer(host, port)) {
            *selection = m_cipher.Encipher(JoinHostAndPort(host, port + kWords[m_nTransport]));
            // A selection too long to encipher cannot be recorded.
            return selection->empty() ? Outcome::Failed : Outcome::Selected;
        }
    }
    return Outcome::Failed;
}

}  // namespace zn
