// Check-run figures, run inside scripts/netns-run:
//  (a) a check of all four kinds, ten entries each that all refuse at once,
//      against the floor set by the checkers' mandatory pauses (eleven
//      entries of 10 ms each), every entry's mark flushed to the file's
//      disk; target at most 1.15. Measure it on a real disk:
//      check_bench --dir DIRECTORY puts the file in a fresh directory under
//      DIRECTORY instead of the system's temporary directory (often a tmpfs);
//  (b) from CancelChecking to "Finish all checking!" with every checker
//      stuck in a connect to a host that never answers; target 5 ms.
//  (c) the threads a check of four kinds (ten refusing entries each)
//      starts, against the probes it makes: its probes share one thread per
//      prober (each checker, the connectivity test); target at most two
//      threads per kind and two for the run.

#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "check/Probe.h"
#include "platform/TestHooks.h"
#include "store/AddressCipher.h"
#include "store/ProfileFile.h"
#include "support/Network.h"
#include "support/TempDir.h"
#include "zembrixnet.h"

namespace {

using znbench::g_changed;
using znbench::g_mutex;
using znbench::Median;
using znbench::WaitFinished;
using Clock = znbench::Clock;

int g_stuck = 0;
std::atomic<int> g_threadsStarted{0};
std::atomic<int> g_probes{0};

void WriteEntries(const std::string &file, const std::string &address) {
    zn::CAddressCipher cipher(false);
    cipher.DeriveKey();
    zn::CProfileFile profile;
    profile.m_strFileName = file;
    const std::string entry = cipher.Encipher(address) + ",0";
    for (const char *kind : {"WEB", "SIP", "IM", "FAX"}) {
        profile.SetValue("NETWORK", std::string(kind) + "NUM", "10");
        for (int i = 1; i <= 10; ++i)
            profile.SetValue("NETWORK", kind + std::to_string(i), entry);
    }
}

}  // namespace

// Every thread the process starts, the library's among them, is counted on
// its way to the system's own start.
extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attributes,
                              void *(*start)(void *), void *argument) noexcept {
    using Create = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static const Create create = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    ++g_threadsStarted;
    return create(thread, attributes, start, argument);
}

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--dir") == 0) {
        // Where the bench's temporary directory is made.
        setenv("TMPDIR", argv[2], 1);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: check_bench [--dir DIRECTORY]\n");
        return 2;
    }
    if (!znbench::InsidePrivateNamespace())
        return 2;
    zntest::TempDir dir;
    zntest::TcpListener internet(zntest::kConnectivityAddress1, 80);
    if (InitCheckServer(nullptr, nullptr, znbench::OnFinished, nullptr, nullptr, nullptr, nullptr,
                        nullptr, dir.Path().c_str()) != 3) {
        std::fprintf(stderr, "InitCheckServer failed\n");
        return 1;
    }
    const std::string file = dir.File("ZembrixNetWork.ini");
    const double floorMs = 11 * 10.0;

    std::vector<double> ratios;
    for (int run = 0; run < 7; ++run) {
        WriteEntries(file, "10.0.0.90:1");  // a local address, nothing listens: refused
        const auto begin = Clock::now();
        CheckServerStatus("", 15);
        WaitFinished(run + 1);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
        ratios.push_back(ms / floorMs);
    }
    znbench::PrintFigure("(a) check of 4 kinds x 10 refusing entries / 110 ms floor",
                         Median(ratios), "", "median of " + std::to_string(ratios.size()),
                         "<=", 1.15);

    WriteEntries(file, "10.0.0.90:1");
    zn::TestHooks().probeObserver.Set([](const std::string &, const std::string &) { ++g_probes; });
    const int threadsBefore = g_threadsStarted;
    CheckServerStatus("", 15);
    WaitFinished(static_cast<int>(ratios.size()) + 1);
    const int threads = g_threadsStarted - threadsBefore;
    zn::TestHooks().probeObserver.Set(nullptr);
    znbench::PrintFigure("(c) threads started by a check of 4 kinds x 10 refusing entries", threads,
                         "", std::to_string(g_probes.load()) + " probes", "<=", 10);

    std::vector<double> cancelMs;
    int finished = static_cast<int>(ratios.size()) + 1;
    for (int run = 0; run < 5; ++run) {
        WriteEntries(file, std::string(zntest::kSilentDropHost) + ":80");
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_stuck = 0;
        }
        zn::TestHooks().probeObserver.Set([](const std::string &host, const std::string &) {
            std::lock_guard<std::mutex> lock(g_mutex);
            if (host == zntest::kSilentDropHost)
                ++g_stuck;
            g_changed.notify_all();
        });
        CheckServerStatus("", 15);
        {
            std::unique_lock<std::mutex> lock(g_mutex);
            g_changed.wait(lock, [] { return g_stuck >= 4; });
        }
        // Let the four connects really start.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto begin = Clock::now();
        CancelChecking();
        WaitFinished(++finished);
        cancelMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        zn::TestHooks().probeObserver.Set(nullptr);
    }
    znbench::PrintFigure("(b) CancelChecking to \"Finish all checking!\", 4 checkers stuck",
                         Median(cancelMs), "ms", "median of " + std::to_string(cancelMs.size()),
                         "<=", 5);
    CloseCheckServer();
    return 0;
}
