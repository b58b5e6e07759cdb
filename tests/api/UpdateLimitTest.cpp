// The manager's limit on an update run, shortened through the test hook:
// a web API that takes the connection and never answers holds the run
// until the limit ends it.

#include <gtest/gtest.h>

#include "platform/TestHooks.h"
#include "store/AddressCipher.h"
#include "support/HostRecorder.h"
#include "support/Network.h"
#include "support/ScriptedPeer.h"

namespace zntest {
namespace {

TEST(UpdateLimit, EndsARunStuckOnASilentWebApiWithoutTouchingTheFile) {
    RequireIsolatedNetwork();
    zn::Limits().updateWaitMs = 200;
    // Only the manager's limit can end the wait in time.
    zn::Limits().httpSendReceiveMs = 600000;
    ScriptedPeer silent(PeerAction::Answer, "", kLocalServerAddress);
    zn::CAddressCipher cipher(false);
    cipher.DeriveKey();
    TempDir dir;
    HostRecorder host;
    ASSERT_EQ(3, host.Init(dir.Path()));
    const std::string web = std::string(kLocalServerAddress) + ":" + std::to_string(silent.Port());
    const std::string file = "[NETWORK]\r\nWEB=" + cipher.Encipher(web) +
                             "\r\nWEBNUM=1\r\nWEB1=" + cipher.Encipher("10.0.0.61:443") +
                             ",-1\r\nSIPNUM=0\r\nIMNUM=0\r\nFAXNUM=0\r\n" +
                             "FREENUM=1\r\nFREE1=" + cipher.Encipher("http://10.0.0.62/") +
                             ",0\r\n";
    WriteWholeFile(dir.File("ZembrixNetWork.ini"), file);
    host.Take();

    ASSERT_EQ(1, UpdateServerList("2.0"));
    ASSERT_TRUE(host.WaitFor("Finish updating!", 1, std::chrono::seconds(30)));
    // Not a cancel; no other source was asked and nothing was merged.
    EXPECT_EQ((std::vector<Received>{host.Status(75005, "Begin to update server list!"),
                                     host.UpdateFinished()}),
              host.Take());
    // The peer's thread counts the connection when it gets to accept it.
    silent.WaitForConnections(1, std::chrono::seconds(30));
    EXPECT_EQ(1, silent.Connections());
    EXPECT_EQ(file, ReadWholeFile(dir.File("ZembrixNetWork.ini")));
    EXPECT_EQ(1, CloseCheckServer());
}

}  // namespace
}  // namespace zntest
