// A library initialised on a fresh directory, with a server list file that
// the test writes, recorded callbacks and probes, a chosen start entry and
// shortened time limits.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/CheckManager.h"
#include "api/LibraryState.h"
#include "check/Probe.h"
#include "check/ServerChecker.h"
#include "platform/TestHooks.h"
#include "store/AddressCipher.h"
#include "store/ProfileFile.h"
#include "store/ServerList.h"
#include "support/HostRecorder.h"
#include "support/Network.h"
#include "support/TempDir.h"
#include "zembrixnet.h"

namespace zntest {

struct Message {
    int code;
    std::string text;
    bool operator==(const Message &o) const { return code == o.code && text == o.text; }
};
inline std::ostream &operator<<(std::ostream &out, const Message &m) {
    return out << m.code << " \"" << m.text << "\"";
}

class CheckTest : public NetworkTest {
  protected:
    void SetUp() override {
        NetworkTest::SetUp();
        m_cipher.DeriveKey();
        zn::TestHooks().probeObserver.Set([this](const std::string &host, const std::string &port) {
            std::function<void(const std::string &, const std::string &)> action;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_probes.push_back(zn::JoinHostAndPort(host, port));
                action = m_onProbe;
            }
            if (action)
                action(host, port);
        });
        ASSERT_EQ(3, InitLibrary());
        WriteWholeFile(File(), "[NETWORK]\r\n");  // each test writes what it needs
        Take();
    }

    void TearDown() override {
        CloseCheckServer();
        zn::RestoreAllTestHooks();  // before the members the probe observer uses go
    }

    int InitLibrary() { return m_host.Init(m_dir.Path()); }

    std::string File() const { return m_dir.File("ZembrixNetWork.ini"); }
    std::string Get(const std::string &key) {
        zn::CProfileFile profile;
        profile.m_strFileName = File();
        return profile.GetValue("NETWORK", key, "#");
    }
    void Set(const std::string &key, const std::string &value) {
        zn::CProfileFile profile;
        profile.m_strFileName = File();
        profile.SetValue("NETWORK", key, value);
    }
    std::string Hex(const std::string &plain) { return m_cipher.Encipher(plain); }
    std::string Plain(const std::string &hex) { return m_cipher.Decipher(hex); }
    // One entry: the enciphered address, a comma and the status.
    void SetEntry(const std::string &key, const std::string &plain, const std::string &status) {
        Set(key, Hex(plain) + "," + status);
    }

    void StartAt(int entry) {
        zn::TestHooks().startEntryChooser.Set([entry](int, int) { return entry; });
    }

    // Done event and running flag of the checker a test runs itself.
    zn::CheckerSignals &Signals() { return m_signals; }

    template <class Checker>
    void RunChecker(Checker &checker) {
        ASSERT_EQ(0, checker.Start(0));
        checker.Join();
    }

    std::vector<std::string> Probes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_probes;
    }
    void OnProbe(std::function<void(const std::string &, const std::string &)> action) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_onProbe = std::move(action);
    }

    // The callbacks so far, an error's code negated, a finish's 0.
    std::vector<Message> Take() {
        std::vector<Message> all;
        for (const Received &r : m_host.Take())
            all.push_back({r.kind == CallbackKind::Error ? -r.code : r.code, r.message});
        return all;
    }
    bool WaitForMessage(const std::string &text, std::chrono::milliseconds timeout) {
        return m_host.WaitFor(text, 1, timeout);
    }

    TempDir m_dir;
    zn::CAddressCipher m_cipher;
    zn::CheckerSignals m_signals;

  private:
    HostRecorder m_host;
    std::mutex m_mutex;
    std::vector<std::string> m_probes;
    std::function<void(const std::string &, const std::string &)> m_onProbe;
};

}  // namespace zntest
