// Layout and defaults of the server list file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "store/AddressCipher.h"
#include "store/ProfileFile.h"
#include "store/ProviderConfig.h"
#include "store/ServerList.h"
#include "support/TempDir.h"
#include "support/TextLines.h"

namespace zn {
namespace {

namespace fs = std::filesystem;
using zntest::Crlf;
using zntest::ReadWholeFile;
using zntest::WriteWholeFile;

std::vector<std::string> LinesOf(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// The keys in the order the defaults are written, with the hex length of
// each enciphered entry (0 for plain values).
struct ExpectedKey {
    std::string key;
    size_t hexLength;
};

std::vector<ExpectedKey> ExpectedKeys() {
    std::vector<ExpectedKey> keys = {{"TYPE", 0}, {"SIPNUM", 0}};
    for (int i = 1; i <= 3; ++i)
        keys.push_back({"SIP" + std::to_string(i), 30});
    keys.push_back({"WEBNUM", 0});
    for (int i = 1; i <= 4; ++i)
        keys.push_back({"WEB" + std::to_string(i), 32});
    keys.push_back({"IMNUM", 0});
    const size_t imLengths[] = {68, 66, 66, 66, 72, 72};
    for (int i = 1; i <= 6; ++i)
        keys.push_back({"IM" + std::to_string(i), imLengths[i - 1]});
    keys.push_back({"FAXNUM", 0});
    keys.push_back({"FAX1", 34});
    keys.push_back({"HTTPPROXY", 0});
    keys.push_back({"FREENUM", 0});
    const size_t freeLengths[] = {64, 88, 82, 74, 82};
    for (int i = 1; i <= 5; ++i)
        keys.push_back({"FREE" + std::to_string(i), freeLengths[i - 1]});
    return keys;
}

class ServerListTest : public ::testing::Test {
  protected:
    ServerListTest() : m_path(ServerListPath(m_dir.Path())) { m_file.m_strFileName = m_path; }

    std::string Get(const std::string &key) { return m_file.GetValue(kNetworkSection, key, "#"); }

    zntest::TempDir m_dir;
    std::string m_path;
    CProfileFile m_file;
};

TEST_F(ServerListTest, PathIsTheFileNameInTheDirectory) {
    EXPECT_EQ(m_path, m_dir.Path() + kPathSeparator + "ZembrixNetWork.ini");
}

TEST_F(ServerListTest, EmptyDirectoryGetsEveryKeyInOrderWithItsFixedLength) {
    WriteServerListDefaults(m_path);
    const std::vector<std::string> lines = LinesOf(ReadWholeFile(m_path));
    const std::vector<ExpectedKey> expected = ExpectedKeys();
    ASSERT_EQ(lines.size(), expected.size() + 1);
    EXPECT_EQ(lines[0], "[NETWORK]");
    EXPECT_EQ(ReadWholeFile(m_path), Crlf(lines)) << "every line ends in CR LF";
    for (size_t i = 0; i < expected.size(); ++i) {
        const std::string &line = lines[i + 1];
        SCOPED_TRACE(line);
        const ExpectedKey &key = expected[i];
        ASSERT_EQ(line.substr(0, key.key.size() + 1), key.key + "=");
        const std::string value = line.substr(key.key.size() + 1);
        if (key.hexLength == 0)
            continue;
        EXPECT_EQ(value.size(), key.hexLength + 2);
        EXPECT_EQ(value.substr(key.hexLength), ",0");
        EXPECT_EQ(value.find_first_not_of("0123456789ABCDEF"), key.hexLength);
    }
    EXPECT_EQ(Get("TYPE"), "ENC");
    EXPECT_EQ(Get("SIPNUM"), "3");
    EXPECT_EQ(Get("WEBNUM"), "4");
    EXPECT_EQ(Get("IMNUM"), "6");
    EXPECT_EQ(Get("FAXNUM"), "1");
    EXPECT_EQ(Get("FREENUM"), "5");
    EXPECT_EQ(Get("HTTPPROXY"), kDefaultHttpProxy);
    for (const char *selection : {"SIP", "WEB", "IM", "FAX"})
        EXPECT_EQ(Get(selection), "#");
}

// "%d.%d.%d.%d:%d" in one of the documentation-only networks.
bool InDocumentationRange(const std::string &address) {
    int a = -1, b = -1, c = -1, d = -1, port = -1, end = -1;
    std::sscanf(address.c_str(), "%d.%d.%d.%d:%d%n", &a, &b, &c, &d, &port, &end);
    if (end != static_cast<int>(address.size()))
        return false;
    const bool network = (a == 192 && b == 0 && c == 2) || (a == 198 && b == 51 && c == 100) ||
                         (a == 203 && b == 0 && c == 113);
    return network && d >= 0 && d <= 255 && port >= 1 && port <= 65535;
}

// "%d" + the transport word, three times: the IM entry's port list.
bool InDocumentationRangeWithTransports(const std::string &address) {
    const size_t colon = address.find(':');
    int tcp = -1, https = -1, http = -1, end = -1;
    if (colon == std::string::npos)
        return false;
    std::sscanf(address.c_str() + colon + 1, "%dTCP%dHTTPS%dHTTP%n", &tcp, &https, &http, &end);
    return end == static_cast<int>(address.size() - colon - 1) && https > 0 && http > 0 &&
           InDocumentationRange(address.substr(0, colon + 1) + std::to_string(tcp));
}

// "http://" + a host under ".example" + a path of printable characters.
bool IsExamplePage(const std::string &url, bool withPath) {
    const std::string scheme = "http://";
    const std::string suffix = ".example";
    if (url.compare(0, scheme.size(), scheme) != 0)
        return false;
    const size_t slash = url.find('/', scheme.size());
    if ((slash != std::string::npos) != withPath)
        return false;
    const std::string host = url.substr(scheme.size(), slash - scheme.size());
    if (host.size() <= suffix.size() ||
        host.compare(host.size() - suffix.size(), suffix.size(), suffix) != 0 ||
        host.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-") != std::string::npos) {
        return false;
    }
    for (size_t i = scheme.size() + host.size(); i < url.size(); ++i) {
        if (url[i] <= ' ' || url[i] > '~')
            return false;
    }
    return true;
}

TEST_F(ServerListTest, EveryDefaultDeciphersToAnAddressOfItsKind) {
    WriteServerListDefaults(m_path);
    CAddressCipher cipher(false);
    cipher.DeriveKey();
    ASSERT_TRUE(cipher.HasKey());
    auto plain = [&](const std::string &key) {
        const std::string entry = Get(key);
        return cipher.Decipher(entry.substr(0, entry.rfind(',')));
    };

    for (const char *kind : {"SIP1", "SIP2", "SIP3", "WEB1", "WEB2", "WEB3", "WEB4", "FAX1"}) {
        EXPECT_TRUE(InDocumentationRange(plain(kind))) << kind << ": " << plain(kind);
    }
    for (int i = 1; i <= 6; ++i) {
        const std::string address = plain("IM" + std::to_string(i));
        EXPECT_TRUE(InDocumentationRangeWithTransports(address)) << address;
    }
    for (int i = 1; i <= 5; ++i) {
        const std::string address = plain("FREE" + std::to_string(i));
        EXPECT_TRUE(IsExamplePage(address, true)) << address;
    }
    EXPECT_TRUE(InDocumentationRange(Get("HTTPPROXY"))) << "the proxy is plain text";
    EXPECT_TRUE(IsExamplePage(kBuiltInFallbackPage, false)) << "the built-in page names its host";
}

TEST_F(ServerListTest, PresentKeysKeepTheirValuesOnlyTypeIsRewritten) {
    WriteServerListDefaults(m_path);
    m_file.SetValue(kNetworkSection, "TYPE", "PLAIN");
    m_file.SetValue(kNetworkSection, "SIPNUM", "7");
    m_file.SetValue(kNetworkSection, "SIP1", "not an entry");
    m_file.SetValue(kNetworkSection, "HTTPPROXY", kNone);
    std::string before = ReadWholeFile(m_path);

    WriteServerListDefaults(m_path);
    const size_t type = before.find("TYPE=PLAIN");
    ASSERT_NE(type, std::string::npos);
    before.replace(type, 10, "TYPE=ENC");
    EXPECT_EQ(ReadWholeFile(m_path), before);
    EXPECT_EQ(Get("HTTPPROXY"), "04");
    EXPECT_EQ(Get("SIPNUM"), "7");
}

TEST_F(ServerListTest, MissingOrMarkerValuedKeysGetTheirDefaultsOneByOne) {
    WriteWholeFile(m_path, Crlf({"[NETWORK]", "SIPNUM=3", "SIP2=#", "SIP3=kept,-1"}));
    WriteServerListDefaults(m_path);
    EXPECT_EQ(Get("SIP1"), std::string(kDefaultSipEntries[0]) + ",0");
    EXPECT_EQ(Get("SIP2"), std::string(kDefaultSipEntries[1]) + ",0");
    EXPECT_EQ(Get("SIP3"), "kept,-1");

    // SIP2 present and SIP3 missing: only SIP3 comes.
    WriteWholeFile(m_path, Crlf({"[NETWORK]", "SIP2=kept,1"}));
    WriteServerListDefaults(m_path);
    EXPECT_EQ(Get("SIP2"), "kept,1");
    EXPECT_EQ(Get("SIP3"), std::string(kDefaultSipEntries[2]) + ",0");
}

TEST_F(ServerListTest, ReadOnlyFileTakesNoDefaults) {
    const std::string old = Crlf({"[NETWORK]", "TYPE=PLAIN"});
    WriteWholeFile(m_path, old);
    fs::permissions(m_path, fs::perms::owner_read);
    WriteServerListDefaults(m_path);
    EXPECT_EQ(ReadWholeFile(m_path), old);

    // Once the attribute is cleared, the next initialisation writes them.
    ASSERT_TRUE(ClearReadOnly(m_path));
    WriteServerListDefaults(m_path);
    EXPECT_EQ(Get("TYPE"), "ENC");
    EXPECT_EQ(Get("FREENUM"), "5");
}

}  // namespace
}  // namespace zn
