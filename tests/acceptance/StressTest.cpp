// Eight host threads call every export and the URL reader class at random
// with odd arguments (nulls, huge texts, format directives, line ends, masks
// and kinds out of range), and the callbacks call them too. Whatever the interleaving: no crash,
// race or deadlock (the suite also runs under both sanitizers), exactly one finish message per
// accepted start, and the server list file whole afterwards.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "support/HostRecorder.h"
#include "support/HttpsPeers.h"
#include "support/Network.h"
#include "support/Seed.h"
#include "support/TempDir.h"
#include "zembrixnet/AsyncSSLConnection.h"

namespace zntest {
namespace {

constexpr int kHostThreads = 8;
constexpr int kMaxCallsPerThread = 3000;
constexpr auto kCallPhase = std::chrono::seconds(3);

// What the host threads and the callbacks share; kept alive by the callback
// hook itself, since a library thread may still be in it when the test ends.
struct Stress {
    std::vector<std::string> directories;
    std::vector<const char *> texts;
    std::string huge = std::string(100000, 'A');
    std::string hugeMixed;
    std::atomic<bool> stop{false};
    std::atomic<int> inits{0}, closes{0}, checks{0}, updates{0};
    // The URL reader: one object all threads share, and objects of a call.
    std::vector<std::string> urls;
    std::string page;
    CAsyncSSLConnection shared;
    std::atomic<int> pagesRead{0}, wrongTexts{0};
    // Each thread's random choices follow from one printed seed.
    unsigned seed = TestSeed(4321);
    std::atomic<unsigned> threadsSeeded{kHostThreads};

    explicit Stress(const std::string &dir) {
        directories = {dir, dir + "/", dir + "/missing/deeper", "/" + huge};
        for (size_t i = 0; i < 100000; ++i)
            hugeMixed += static_cast<char>(' ' + i * 7 % 95);
        texts = {nullptr,
                 "",
                 "1.0",
                 "10.0.0.1:8080",
                 "10.0.0.1:8080\r\n[NETWORK]\r\nWEBNUM=999\r\nSIP1=00,1",
                 "%s%n%x%p%s%s%s",
                 "\xff\xfe\x01\x7f",
                 huge.c_str(),
                 hugeMixed.c_str()};
    }

    template <typename T>
    T Pick(std::mt19937 &random, const std::vector<T> &from) {
        return from[random() % from.size()];
    }

    std::string Text(std::mt19937 &random) {
        const char *text = Pick(random, texts);
        return text ? text : "";
    }

    // One call of the URL reader on the shared object, or a whole read on
    // an object of its own.
    void RandomUrlCall(std::mt19937 &random) {
        CAsyncSSLConnection own;
        CAsyncSSLConnection &connection = random() % 2 ? shared : own;
        switch (random() % 4) {
            case 0:
                connection.OpenInternetConnection(random() % 2 ? "stress" : Text(random));
                break;
            case 1:
                connection.OpenInternetUrl(Pick(random, urls), random() % 2 ? "" : Text(random));
                break;
            case 2:
                connection.CloseInternetConnection();
                break;
            default: {
                if (&connection == &own) {
                    connection.OpenInternetConnection("stress");
                    connection.OpenInternetUrl(urls[0], "");
                }
                // Another thread may have opened again or read it first;
                // "/missing" gives the site's error page.
                const std::string text = connection.ReceiveContents();
                pagesRead += text == page;
                wrongTexts += !text.empty() && text != page && text.compare(0, 6, "<html>") != 0;
            }
        }
    }

    void RandomCall(HostRecorder &host, std::mt19937 &random) {
        static const std::vector<int> kMasks = {0, 1, 2, 4, 8, 15, 16, -1, INT_MIN, INT_MAX, 0x7F0};
        static const std::vector<int> kKinds = {1, 2, 4, 8, 0, 3, 5, 15, 16, -1, INT_MIN, INT_MAX};
        switch (random() % 9) {
            case 0:
                inits += host.Init(Pick(random, directories)) == 3;
                break;
            case 1:
                closes += CloseCheckServer() == 1;
                break;
            case 2:
                checks += CheckServerStatus(Pick(random, texts), Pick(random, kMasks)) == 1;
                break;
            case 3:
                updates += UpdateServerList(Pick(random, texts)) == 1;
                break;
            case 4:
                CancelChecking();
                break;
            case 5:
                EndUpdateServerList();
                break;
            case 6: {
                char h[1024], p[1024], d[32];
                int transport = -1;
                const unsigned nulls = random() % 16;  // one bit per pointer
                GetServerInfo(Pick(random, kKinds), nulls & 1 ? nullptr : h,
                              nulls & 2 ? nullptr : p, nulls & 4 ? nullptr : d,
                              nulls & 8 ? nullptr : &transport);
                break;
            }
            case 7:
                SetHTTPProxy(Pick(random, texts));
                break;
            default:
                RandomUrlCall(random);
        }
    }
};

// The lines of the file's one section as key and value; fails the test on
// anything else (a second header, a line that is no entry, a key twice).
std::map<std::string, std::string> ReadEntries(const std::string &path) {
    std::map<std::string, std::string> entries;
    std::istringstream text(ReadWholeFile(path));
    std::string line;
    EXPECT_TRUE(std::getline(text, line) && line == "[NETWORK]\r") << line;
    while (std::getline(text, line)) {
        const size_t equals = line.find('=');
        EXPECT_TRUE(!line.empty() && line.back() == '\r' && equals != std::string::npos &&
                    equals > 0 && line[0] != '[')
            << line;
        const std::string key = line.substr(0, equals);
        EXPECT_TRUE(entries.emplace(key, line.substr(equals + 1, line.size() - equals - 2)).second)
            << "key twice: " << key;
    }
    return entries;
}

bool IsUpperHex(const std::string &text) {
    return !text.empty() && text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// "WEB1", "FREE12": a kind's name and a number.
bool IsEntryKey(const std::string &key) {
    for (const char *kind : {"WEB", "SIP", "IM", "FAX", "FREE"}) {
        const std::string prefix = kind;
        if (key.size() > prefix.size() && key.compare(0, prefix.size(), prefix) == 0 &&
            key.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
            return true;
        }
    }
    return false;
}

// The address part of "<hex>,<status>" with a status of 0, 1 or -1; empty
// for anything else.
std::string AddressOfEntry(const std::string &entry) {
    const size_t comma = entry.rfind(',');
    if (comma == std::string::npos || !IsUpperHex(entry.substr(0, comma)))
        return std::string();
    const std::string status = entry.substr(comma + 1);
    return status == "0" || status == "1" || status == "-1" ? entry.substr(0, comma)
                                                            : std::string();
}

TEST(Stress, ExportsFromManyThreadsAndFromInsideCallbacks) {
    TempDir dir;
    HostRecorder host;
    const std::string file = dir.File("ZembrixNetWork.ini");
    ASSERT_EQ(3, host.Init(dir.Path()));
    ASSERT_EQ(1, CloseCheckServer());
    const std::map<std::string, std::string> initial = ReadEntries(file);
    ASSERT_TRUE(initial.count("HTTPPROXY"));

    auto stress = std::make_shared<Stress>(dir.Path());
    // A local site for the URL reader; the other addresses fail at once.
    TestAuthority authority("Stress Authority", "");
    ASSERT_TRUE(authority.Issue("localhost", dir.File("site.pem")));
    NginxSite site(dir.File("site.pem"));
    ASSERT_TRUE(site.Started());
    stress->page = std::string(3000, 'p');
    WriteWholeFile(site.Root() + "/page", stress->page);
    stress->urls = {site.HttpUrl("/page"),
                    site.HttpUrl("/missing"),
                    site.HttpUrl("/chunked/page"),
                    "http://127.0.0.1:" + std::to_string(kRefusedPort) + "/",
                    "gopher://x/",
                    "http://" + stress->huge,
                    stress->hugeMixed};
    host.OnEveryCallback([stress, &host](const Received &) {
        // One level deep: a refusal inside would otherwise call back again.
        thread_local bool inside = false;
        thread_local std::mt19937 random(stress->seed + stress->threadsSeeded++);
        if (inside || stress->stop || random() % 4 != 0)
            return;
        inside = true;
        stress->RandomCall(host, random);
        inside = false;
    });

    const auto deadline = std::chrono::steady_clock::now() + kCallPhase;
    std::atomic<int> threadsDone{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kHostThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(stress->seed + t);
            for (int i = 0; i < kMaxCallsPerThread && std::chrono::steady_clock::now() < deadline;
                 ++i) {
                stress->RandomCall(host, random);
            }
            ++threadsDone;
        });
    }
    // A deadlock would hang the whole program: say so and stop it instead.
    while (threadsDone < kHostThreads) {
        if (std::chrono::steady_clock::now() > deadline + std::chrono::minutes(3)) {
            std::fprintf(stderr, "Stress: host threads still blocked 3 minutes after the end\n");
            std::abort();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (std::thread &thread : threads)
        thread.join();
    stress->stop = true;

    // Runs that a close from a callback set aside end on their own; a last
    // initialisation and close then leave nothing running.
    stress->closes += CloseCheckServer() == 1;
    EXPECT_TRUE(
        host.WaitFor("Finish all checking!", stress->checks.load(), std::chrono::minutes(2)));
    EXPECT_TRUE(host.WaitFor("Finish updating!", stress->updates.load(), std::chrono::minutes(2)));
    ASSERT_EQ(3, host.Init(dir.Path()));
    ASSERT_EQ(1, CloseCheckServer());
    host.OnEveryCallback(nullptr);

    std::printf(
        "Stress: %d checks, %d updates, %d initialisations, %d closes accepted, "
        "%d pages read\n",
        stress->checks.load(), stress->updates.load(), stress->inits.load(), stress->closes.load(),
        stress->pagesRead.load());
    EXPECT_GT(stress->checks + stress->updates, 0);
    EXPECT_GT(stress->pagesRead.load(), 0);
    EXPECT_EQ(stress->wrongTexts.load(), 0);
    EXPECT_EQ(stress->checks.load(), host.Count("Finish all checking!"));
    EXPECT_EQ(stress->updates.load(), host.Count("Finish updating!"));
    EXPECT_EQ(stress->inits.load() + 2, host.Count("Init checking server list successfully"));
    EXPECT_EQ(stress->closes.load() + 2, host.Count("Close checking server list successfully"));

    // Every key of the start is still there, counts and addresses as they
    // were; only statuses, selections and the proxy may have changed.
    const std::map<std::string, std::string> after = ReadEntries(file);
    std::set<std::string> proxies = {initial.at("HTTPPROXY"), "04"};
    for (const char *text : stress->texts) {
        if (text && *text && !std::strchr(text, '\n'))
            proxies.insert(text);
    }
    for (const auto &[key, value] : initial) {
        ASSERT_TRUE(after.count(key)) << key;
        if (IsEntryKey(key)) {
            ASSERT_FALSE(AddressOfEntry(value).empty()) << key << "=" << value;
            EXPECT_EQ(AddressOfEntry(value), AddressOfEntry(after.at(key)))
                << key << "=" << after.at(key);
        } else if (key == "HTTPPROXY") {
            EXPECT_TRUE(proxies.count(after.at(key))) << after.at(key).substr(0, 80);
        } else {
            EXPECT_EQ(value, after.at(key)) << key;
        }
    }
    for (const auto &[key, value] : after) {
        if (!initial.count(key)) {
            EXPECT_TRUE(key == "WEB" || key == "SIP" || key == "IM" || key == "FAX") << key;
            EXPECT_TRUE(value == "04" || IsUpperHex(value)) << key << "=" << value;
        }
    }
}

}  // namespace
}  // namespace zntest
