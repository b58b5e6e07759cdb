// The exported interface as a host sees it: return values, codes, exact
// messages and the context each callback receives, in every state.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support/HostRecorder.h"
#include "support/Network.h"
#include "support/TempDir.h"

namespace zntest {
namespace {

// Check runs probe the connectivity-test hosts: only inside the namespace.
[[maybe_unused]] const bool kIsolated = RegisterIsolatedNetworkCheck();

// Every export but InitCheckServer, with the result each gives when it is
// refused for want of initialisation.
void ExpectAllRefusedAsNotInitialised() {
    char host[1024], port[1024], description[32];
    int transport = -1;
    EXPECT_EQ(0, CheckServerStatus("", 15));
    EXPECT_EQ(0, UpdateServerList("1.0"));
    EXPECT_EQ(0, CancelChecking());
    EXPECT_EQ(1, EndUpdateServerList());
    EXPECT_EQ(1, GetServerInfo(ZN_KIND_WEB, host, port, description, &transport));
    EXPECT_EQ(0, CloseCheckServer());
    EXPECT_EQ(0, SetHTTPProxy("10.0.0.1:8080"));
}

TEST(Lifecycle, BeforeTheFirstInitEveryExportIsRefusedSilently) {
    ExpectAllRefusedAsNotInitialised();  // no callbacks are registered yet
}

TEST(Lifecycle, InitReportsSuccessAndASecondInitIsRefusedToTheFirstCallbacks) {
    TempDir dir;
    HostRecorder host;
    ASSERT_EQ(3, host.Init(dir.Path()));
    EXPECT_EQ(std::vector<Received>{host.Status(75000, "Init checking server list successfully")},
              host.Take());

    HostRecorder intruder;
    TempDir other;
    EXPECT_EQ(0, intruder.Init(other.Path()));
    EXPECT_TRUE(intruder.All().empty());
    EXPECT_EQ(std::vector<Received>{host.Error(75009, "Had already initiated")}, host.Take());
    // The first directory stays in use: the second one never got a file.
    struct stat st;
    EXPECT_EQ(0, stat(dir.File("ZembrixNetWork.ini").c_str(), &st));
    EXPECT_NE(0, stat(other.File("ZembrixNetWork.ini").c_str(), &st));

    EXPECT_EQ(1, CloseCheckServer());
    EXPECT_EQ(std::vector<Received>{host.Status(75001, "Close checking server list successfully")},
              host.Take());
}

TEST(Lifecycle, AfterCloseRefusalsGoToTheCallbacksStillRegistered) {
    TempDir dir;
    HostRecorder host;
    ASSERT_EQ(3, host.Init(dir.Path()));
    ASSERT_EQ(1, CloseCheckServer());
    host.Take();
    ExpectAllRefusedAsNotInitialised();
    std::vector<Received> got = host.Take();
    ASSERT_EQ(7u, got.size());
    for (const Received &r : got)
        EXPECT_EQ(host.Error(75008, "Not initiate yet"), r);

    // And the library can be initialised again, with new callbacks.
    HostRecorder again;
    ASSERT_EQ(3, again.Init(dir.Path()));
    EXPECT_EQ(1, CloseCheckServer());
    EXPECT_TRUE(host.All().empty());
    EXPECT_EQ(2u, again.All().size());
}

TEST(Lifecycle, IdleRefusesCancelsAndAcceptsTheRest) {
    TempDir dir;
    HostRecorder host;
    ASSERT_EQ(3, host.Init(dir.Path()));
    host.Take();
    EXPECT_EQ(0, CancelChecking());
    EXPECT_EQ(1, EndUpdateServerList());
    EXPECT_EQ((std::vector<Received>{host.Error(75007, "Is not checking servers"),
                                     host.Error(75007, "Is not checking servers")}),
              host.Take());

    char hostBuf[1024] = "x", port[1024] = "y", description[32] = "z";
    for (int kind : {0, 3, 5, 6, 7, 9, 16, -1}) {
        EXPECT_EQ(1, GetServerInfo(kind, hostBuf, port, description, nullptr)) << kind;
    }
    EXPECT_STREQ("x", hostBuf);
    EXPECT_STREQ("y", port);
    EXPECT_STREQ("z", description);
    EXPECT_TRUE(host.Take().empty());

    EXPECT_EQ(1, SetHTTPProxy("10.0.0.1:3128"));
    EXPECT_NE(std::string::npos,
              ReadWholeFile(dir.File("ZembrixNetWork.ini")).find("HTTPPROXY=10.0.0.1:3128\r\n"));
    EXPECT_EQ(1, SetHTTPProxy(""));
    EXPECT_NE(std::string::npos,
              ReadWholeFile(dir.File("ZembrixNetWork.ini")).find("HTTPPROXY=04\r\n"));
    EXPECT_EQ(1, SetHTTPProxy(nullptr));
    EXPECT_TRUE(host.Take().empty());
    EXPECT_EQ(1, CloseCheckServer());
}

TEST(Lifecycle, CheckAndUpdateRunsEndWithTheirFinishMessages) {
    TempDir dir;
    HostRecorder host;
    ASSERT_EQ(3, host.Init(dir.Path()));
    host.Take();

    ASSERT_EQ(1, CheckServerStatus(nullptr, 0));
    ASSERT_TRUE(host.WaitFor("Finish all checking!"));
    ASSERT_EQ(1, UpdateServerList(nullptr));
    ASSERT_TRUE(host.WaitFor("Finish updating!"));
    EXPECT_EQ((std::vector<Received>{host.CheckFinished(),
                                     host.Status(75005, "Begin to update server list!"),
                                     host.UpdateFinished()}),
              host.Take());
    EXPECT_EQ(1, CloseCheckServer());
}

TEST(Lifecycle, WhileAJobRunsStartsAndInfoAreRefusedAndTheProxyIsWritten) {
    TempDir dir;
    HostRecorder host;
    ASSERT_EQ(3, host.Init(dir.Path()));
    ASSERT_TRUE(host.StartHeldUpdate("2.1"));
    host.Take();

    char hostBuf[1024], port[1024], description[32];
    int transport = -1;
    EXPECT_EQ(0, CheckServerStatus("", 15));
    EXPECT_EQ(0, UpdateServerList("2.1"));
    EXPECT_EQ(1, GetServerInfo(ZN_KIND_SIP, hostBuf, port, description, &transport));
    EXPECT_EQ(0, InitCheckServer(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, dir.Path().c_str()));
    EXPECT_EQ(1, SetHTTPProxy("10.0.0.9:8080"));
    EXPECT_EQ(
        (std::vector<Received>{
            host.Error(75004, "Is checking servers"), host.Error(75004, "Is checking servers"),
            host.Error(75004, "Is checking servers"), host.Error(75009, "Had already initiated")}),
        host.Take());
    EXPECT_NE(std::string::npos,
              ReadWholeFile(dir.File("ZembrixNetWork.ini")).find("HTTPPROXY=10.0.0.9:8080\r\n"));

    // The first cancel is reported, a second one in the same run is silent.
    EXPECT_EQ(1, CancelChecking());
    EXPECT_EQ(1, EndUpdateServerList());
    EXPECT_EQ(1, CancelChecking());
    EXPECT_EQ(
        std::vector<Received>{host.Status(75003, "Cancel updating server list successfully!")},
        host.Take());

    host.Release();
    ASSERT_TRUE(host.WaitFor("Finish updating!"));
    host.Take();
    // A new run takes a new cancel.
    ASSERT_TRUE(host.StartHeldUpdate("2.1"));
    EXPECT_EQ(1, EndUpdateServerList());
    host.Release();
    ASSERT_TRUE(host.WaitFor("Finish updating!"));
    // The first run's cancel was taken above: this one is the new run's.
    EXPECT_EQ(1, host.Count("Cancel updating server list successfully!"));
    EXPECT_EQ(1, CloseCheckServer());
}

TEST(Lifecycle, CloseDuringAJobCancelsItWaitsForItsEndAndShutsDown) {
    TempDir dir;
    HostRecorder host;
    ASSERT_EQ(3, host.Init(dir.Path()));
    ASSERT_TRUE(host.StartHeldUpdate(""));
    host.Take();

    std::thread releaser([&] {
        // Close must not return before the run has ended: free the run only
        // once the cancel has been reported.
        host.WaitFor("Cancel updating server list successfully!");
        host.Release();
    });
    EXPECT_EQ(1, CloseCheckServer());
    releaser.join();
    EXPECT_EQ(
        (std::vector<Received>{host.Status(75003, "Cancel updating server list successfully!"),
                               host.UpdateFinished(),
                               host.Status(75001, "Close checking server list successfully")}),
        host.Take());
    ExpectAllRefusedAsNotInitialised();
    EXPECT_EQ(7u, host.Take().size());
}

TEST(Lifecycle, ACancelEndsTheRunEvenWhileACheckerIsHeldByItsHost) {
    TcpListener internet(kConnectivityAddress1, 80);
    TempDir dir;
    HostRecorder host;
    ASSERT_EQ(3, host.Init(dir.Path()));
    host.HoldAt("Begin to check SIP proxy!");
    ASSERT_EQ(1, CheckServerStatus("", ZN_KIND_SIP));
    ASSERT_TRUE(host.WaitUntilHeld());
    EXPECT_EQ(1, CancelChecking());
    // Not the run's 400 s limit: the run stops waiting for the held checker.
    EXPECT_TRUE(host.WaitFor("Finish all checking!"));
    host.Release();
    EXPECT_EQ(1, CloseCheckServer());
}

TEST(Lifecycle, NullCallbacksDropTheirEvents) {
    TempDir dir;
    ASSERT_EQ(3, InitCheckServer(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, dir.Path().c_str()));
    EXPECT_EQ(0, CancelChecking());
    EXPECT_EQ(1, CheckServerStatus("", 0));
    EXPECT_EQ(1, CloseCheckServer());
}

TEST(Lifecycle, InitMakesAReadOnlyFileWritableAndKeepsItsOtherModeBits) {
    TempDir dir;
    const std::string file = dir.File("ZembrixNetWork.ini");
    WriteWholeFile(file, "[NETWORK]\r\nTYPE=ENC\r\n");
    ASSERT_EQ(0, chmod(file.c_str(), 0444));
    HostRecorder host;
    ASSERT_EQ(3, host.Init(dir.Path()));
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_EQ(1, CloseCheckServer());

    ASSERT_EQ(0, chmod(file.c_str(), 0550));
    ASSERT_EQ(3, host.Init(dir.Path() + "/"));
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0750u, st.st_mode & 07777);
    EXPECT_EQ(1, CloseCheckServer());
}

TEST(Lifecycle, OneTrailingSeparatorIsTrimmed) {
    TempDir dir;
    HostRecorder host;
    ASSERT_EQ(3, host.Init(dir.Path() + "/"));
    EXPECT_EQ(1, SetHTTPProxy("10.0.0.1:1"));
    EXPECT_EQ(1, CloseCheckServer());
    EXPECT_NE(std::string::npos,
              ReadWholeFile(dir.File("ZembrixNetWork.ini")).find("HTTPPROXY=10.0.0.1:1\r\n"));
}

}  // namespace
}  // namespace zntest

extern "C" int RunCHost(const char *directory);

namespace zntest {
namespace {

TEST(CHost, UsesTheHeaderAsItIs) {
    TempDir dir;
    EXPECT_EQ(2, RunCHost(dir.Path().c_str()));  // initialised, closed
}

}  // namespace
}  // namespace zntest
