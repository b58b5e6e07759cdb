// The checkers: one thread object per server kind that, during a check run,
// picks one reachable server of its kind from the server list file. Begin at
// a random entry, then go through the entries from the first upward; the
// first that accepts a TCP connection is selected. Every entry tried is
// marked ",1" or ",-1" in the file.
#pragma once

#include <atomic>
#include <string>

#include "check/Probe.h"
#include "platform/Event.h"
#include "report/JobReporter.h"
#include "report/Messages.h"
#include "store/AddressCipher.h"
#include "store/ProfileFile.h"
#include "thread/WorkerThread.h"

namespace zn {

// What sets one kind's checker apart from another's.
struct CheckerKind {
    int index;                 // WEB, SIP, IM, FAX order
    const char *countKey;      // "SIPNUM"
    const char *entryPrefix;   // "SIP" for "SIP1", "SIP2", ...
    const char *selectionKey;  // "SIP"
    const Message &beginMessage;
    const Message &finishMessage;
    bool finishMessageAfterStop;
};

extern const CheckerKind kWebCheckerKind;
extern const CheckerKind kSipCheckerKind;
extern const CheckerKind kImCheckerKind;
extern const CheckerKind kFaxCheckerKind;

// What a checker and its manager share: the checker's done event (set when
// its run has ended, on every path), its running flag, and the event that
// wakes whoever waits for several checkers at once.
struct CheckerSignals {
    Event m_hDone{Event::Manual, false};
    std::atomic<int> m_bRunning{0};
    Event *m_pWake = nullptr;

    void SignalDone() {
        m_hDone.Set();
        m_bRunning = 0;
        if (m_pWake)
            m_pWake->Set();
    }
};

// Most entries a checker reads; a larger count is cut to this.
constexpr int MAX_CHECK_ENTRIES = 10;

class CServerChecker : public CWorkerThread {
  public:
    CServerChecker(const CheckerKind &kind, CheckerSignals &signals, IJobReporter &reporter);
    ~CServerChecker() override;

    // From any thread: sets the stop event and fails the probe in progress,
    // without waiting.
    void RequestStop();

    int ProbeServer(const std::string &host, const std::string &portText);

    // For a checker whose thread could not be started: it counts as
    // finished at once, as a stopped run does.
    void FinishUnstarted() { StopPath(); }

  protected:
    int Run() override;

    enum class Outcome { Selected, Failed, Stopped };
    // Probes one entry whose address part is addressPart (as stored) and
    // whose deciphered text is plain. On success *selection is what the
    // selection key and the last selection receive.
    virtual Outcome ProbeEntry(const std::string &addressPart, const std::string &plain,
                               std::string *selection);
    // Whether the entry's ",1" is written before the selection key.
    virtual bool MarkEntryBeforeSelection() const { return false; }

    const CheckerKind &m_kind;
    CProfileFile m_profile;
    CAddressCipher m_cipher;

  private:
    void RunChecks();
    // For a diagnosis: an entry not probed, and the checker's choice
    // (selection empty: none).
    void ObserveEntry(const std::string &key, const std::string &subject, const char *outcome);
    void ObserveSelection(const std::string &selection);
    std::string EntryKey(int number) const;
    void Write(const std::string &key, const std::string &value);
    void Finish();
    void StopPath();

    CheckerSignals &m_signals;
    IJobReporter &m_reporter;
    CServerProbe m_probe;
    // The entry being probed and the probes made for it, for a diagnosis.
    std::string m_strEntry;
    int m_nProbes = 0;
};

class CSIPChecker : public CServerChecker {
  public:
    explicit CSIPChecker(CheckerSignals &signals, IJobReporter &reporter = HostReporter())
        : CServerChecker(kSipCheckerKind, signals, reporter) {}
};

class CFaxChecker : public CServerChecker {
  public:
    explicit CFaxChecker(CheckerSignals &signals, IJobReporter &reporter = HostReporter())
        : CServerChecker(kFaxCheckerKind, signals, reporter) {}
};

class CWebChecker : public CServerChecker {
  public:
    explicit CWebChecker(CheckerSignals &signals, IJobReporter &reporter = HostReporter())
        : CServerChecker(kWebCheckerKind, signals, reporter) {}
};

// IM servers name three ports, one per transport (TCP, HTTPS, HTTP), tried
// in that order; the selection names the server, the port that answered
// and its transport, enciphered anew.
class CIMChecker : public CServerChecker {
  public:
    explicit CIMChecker(CheckerSignals &signals, IJobReporter &reporter = HostReporter())
        : CServerChecker(kImCheckerKind, signals, reporter) {}

    // Splits "5222TCP443HTTPS80HTTP" into its three port texts. 0 (outputs
    // untouched) when a word is missing or out of order.
    static int SplitTransportPorts(const std::string &list, std::string *tcpPort,
                                   std::string *httpsPort, std::string *httpPort);

  protected:
    Outcome ProbeEntry(const std::string &addressPart, const std::string &plain,
                       std::string *selection) override;
    bool MarkEntryBeforeSelection() const override { return true; }

  private:
    int m_nTransport = 0;
    std::string m_strTcpPort;
    std::string m_strHttpsPort;
    std::string m_strHttpPort;
};

// Checks of a deciphered address before it is probed. Either the rule files
// were always read by, or an IPv6 literal in brackets or a host name
// (SplitNamedAddress) with its own rest.
// "%d.%d.%d.%d:%d", all five read and none negative; or "host:port", the
// port one to five digits.
bool IsValidServerAddress(const std::string &plain);
// "%d.%d.%d.%d:%s", four numbers none negative, the rest shorter than 52; or
// "host:list", the list shorter than 52.
bool IsValidImAddress(const std::string &plain);

// The start entry, 1 to n. Production: a generator seeded from the time in
// seconds on each checker thread.
int ChooseStartEntry(int kindIndex, int n);

}  // namespace zn
