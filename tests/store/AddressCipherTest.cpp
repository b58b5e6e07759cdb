// The address cipher: key derivation, the conversions and their limits.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/Crypto.h"
#include "platform/TestHooks.h"
#include "store/AddressCipher.h"
#include "support/TempDir.h"

namespace zn {
namespace {

const char kNotice[] = "CryptAcquireContext succeeded.\n";
const char kQuickPhrase[] = "The quick pass phrase";

bool IsUpperHex(const std::string &text) {
    return text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

TEST(AddressCipherTest, KnownPhraseGivesTheKnownCipherText) {
    // MD5 of the phrase is EF5E07DC4C0E816C8CCBD6746C65E481; RC4 under it:
    CAddressCipher cipher(false);
    cipher.DeriveKeyFromPhrase(kQuickPhrase, std::strlen(kQuickPhrase));
    ASSERT_TRUE(cipher.HasKey());
    EXPECT_EQ(cipher.Encipher("10.0.0.1:80"), "EB998C9351D0998A2908F9");
    EXPECT_EQ(cipher.Decipher("EB998C9351D0998A2908F9"), "10.0.0.1:80");
}

TEST(AddressCipherTest, PrintsTheNoticeOncePerConstructionWithProviders) {
    testing::internal::CaptureStdout();
    {
        CAddressCipher first;
        CAddressCipher second;
        first.DeriveKey();
        second.DeriveKey();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(kNotice) + kNotice);

    testing::internal::CaptureStdout();
    { CAddressCipher quiet(false); }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(AddressCipherTest, WithoutProvidersThereIsNoKeyNoNoticeAndTextPassesThrough) {
    zntest::TempDir noModules;
    TestHooks().cryptoModules.Set(noModules.Path());
    testing::internal::CaptureStdout();
    CAddressCipher cipher;
    cipher.DeriveKey();
    const std::string printed = testing::internal::GetCapturedStdout();

    EXPECT_EQ(printed, "");
    EXPECT_FALSE(cipher.HasKey());
    EXPECT_EQ(cipher.Encipher("192.0.2.1:80"), "192.0.2.1:80");
    EXPECT_EQ(cipher.Decipher("EB998C9351D0998A2908F9"), "EB998C9351D0998A2908F9");
}

TEST(AddressCipherTest, WithoutDerivationTextPassesThroughWhateverItsLength) {
    CAddressCipher cipher(false);
    EXPECT_FALSE(cipher.HasKey());
    const std::string longText(200, 'x');
    EXPECT_EQ(cipher.Encipher("10.0.0.1:80"), "10.0.0.1:80");
    EXPECT_EQ(cipher.Encipher(longText), longText);
    EXPECT_EQ(cipher.Decipher("EB998C9351D0998A2908F9"), "EB998C9351D0998A2908F9");
}

TEST(AddressCipherTest, EnciphersToUpperCaseHexOfTwiceTheLengthAndBack) {
    CAddressCipher cipher(false);
    cipher.DeriveKey();
    ASSERT_TRUE(cipher.HasKey());
    for (const std::string plain :
         {"abcde", "[2001:db8::5]:5060", "[2001:db8::7]:5222TCP443HTTPS80HTTP",
          "[ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255]:65535TCP65535HTTPS65535HTTP",
          "sip.example.net:5060"}) {
        const std::string hex = cipher.Encipher(plain);
        EXPECT_EQ(hex.size(), 2 * plain.size());
        EXPECT_TRUE(IsUpperHex(hex)) << hex;
        EXPECT_EQ(cipher.Decipher(hex), plain);
    }
    EXPECT_EQ(cipher.Encipher(""), "");
}

TEST(AddressCipherTest, EveryTextStartsAtTheBeginningOfTheKeyStream) {
    CAddressCipher cipher(false);
    cipher.DeriveKey();
    const std::string once = cipher.Encipher("192.0.2.1:5060");
    EXPECT_EQ(cipher.Encipher("192.0.2.1:5060"), once);
    // A common prefix of plain texts gives a common prefix of hex texts.
    const std::string other = cipher.Encipher("192.0.2.77:80");
    EXPECT_EQ(once.substr(0, 2 * 8), other.substr(0, 2 * 8));
    EXPECT_NE(once.substr(2 * 8, 2), other.substr(2 * 8, 2));
}

TEST(AddressCipherTest, LaterDerivationsChangeNothing) {
    CAddressCipher cipher(false);
    cipher.DeriveKey();
    const std::string before = cipher.Encipher("10.0.0.1:80");
    cipher.DeriveKey();
    cipher.DeriveKeyFromPhrase(kQuickPhrase, std::strlen(kQuickPhrase));
    EXPECT_TRUE(cipher.HasKey());
    EXPECT_EQ(cipher.Encipher("10.0.0.1:80"), before);
    EXPECT_NE(before, "EB998C9351D0998A2908F9") << "the provider's phrase is in use";

    // DeriveKey is the derivation from the built pass phrase.
    char phrase[67];
    CAddressCipher::BuildPassPhrase(phrase);
    CAddressCipher explicitPhrase(false);
    explicitPhrase.DeriveKeyFromPhrase(phrase, 66);
    EXPECT_EQ(explicitPhrase.Encipher("10.0.0.1:80"), before);
}

TEST(AddressCipherTest, EncipherRefusesTextsOf128BytesOrMore) {
    CAddressCipher cipher(false);
    cipher.DeriveKey();
    const std::string longest(127, 'a');
    const std::string hex = cipher.Encipher(longest);
    EXPECT_EQ(hex.size(), 254u);
    EXPECT_EQ(cipher.Decipher(hex), longest);
    EXPECT_EQ(cipher.Encipher(std::string(128, 'a')), "");
    EXPECT_EQ(cipher.Encipher(std::string(1000, 'a')), "");
}

TEST(AddressCipherTest, DecipherReturnsOddAndOverlongTextsUnchanged) {
    CAddressCipher cipher(false);
    cipher.DeriveKey();
    EXPECT_EQ(cipher.Decipher("EB998"), "EB998");
    const std::string tooLong(1024, 'A');
    EXPECT_EQ(cipher.Decipher(tooLong), tooLong);
    const std::string longest(1022, 'A');
    const std::string plain = cipher.Decipher(longest);
    EXPECT_NE(plain, longest);
    EXPECT_LE(plain.size(), 511u);
}

TEST(AddressCipherTest, DecipheredTextEndsAtAZeroByte) {
    CAddressCipher cipher(false);
    cipher.DeriveKey();
    // The key stream byte at position 1 is the cipher byte of "b" there, so
    // the hex text of "a" followed by that byte deciphers to "a", zero, ...
    const std::string ab = cipher.Encipher("abc");
    char pair[3] = {ab[2], ab[3], 0};
    const unsigned keyStream = static_cast<unsigned>(std::stoul(pair, nullptr, 16)) ^ 'b';
    char zeroByte[3];
    std::snprintf(zeroByte, sizeof zeroByte, "%02X", keyStream);
    const std::string withZero = ab.substr(0, 2) + zeroByte + ab.substr(4);
    EXPECT_EQ(cipher.Decipher(withZero), "a");
}

TEST(AddressCipherTest, HexEncodeTakesAtMost127Bytes) {
    unsigned char buffer[2 * 128 + 1] = {0x0A, 0xFF, 0x00, 0x9C};
    uint32_t length = 4;
    ASSERT_EQ(CAddressCipher::HexEncode(buffer, &length), 1);
    EXPECT_EQ(length, 8u);
    EXPECT_STREQ(reinterpret_cast<char *>(buffer), "0AFF009C");

    std::memset(buffer, 0x5A, sizeof buffer);
    length = 127;
    ASSERT_EQ(CAddressCipher::HexEncode(buffer, &length), 1);
    EXPECT_EQ(length, 254u);
    std::string digits;
    for (int i = 0; i < 127; ++i)
        digits += "5A";
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer)), digits);

    std::memset(buffer, 0x5A, sizeof buffer);
    length = 128;
    EXPECT_EQ(CAddressCipher::HexEncode(buffer, &length), 0);
    EXPECT_EQ(length, 128u);
    EXPECT_EQ(buffer[0], 0x5A) << "a refused buffer stays as it was";
    EXPECT_EQ(buffer[128], 0x5A);
}

TEST(AddressCipherTest, HexDecodeFollowsItsCharacterRule) {
    char buffer[16] = "0AFF";
    uint32_t length = 4;
    ASSERT_EQ(CAddressCipher::HexDecode(buffer, &length), 1);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(static_cast<unsigned char>(buffer[0]), 10);
    EXPECT_EQ(static_cast<unsigned char>(buffer[1]), 255);
    EXPECT_EQ(buffer[2], 0);

    // Lower case is not hex here: "a" counts as its code minus 55.
    std::strcpy(buffer, "0a");
    length = 2;
    ASSERT_EQ(CAddressCipher::HexDecode(buffer, &length), 1);
    EXPECT_EQ(static_cast<unsigned char>(buffer[0]), 'a' - 55);
    // No character is refused; the byte wraps modulo 256 ("G" is 16).
    std::strcpy(buffer, "G1");
    length = 2;
    ASSERT_EQ(CAddressCipher::HexDecode(buffer, &length), 1);
    EXPECT_EQ(static_cast<unsigned char>(buffer[0]), 1);

    std::strcpy(buffer, "0AF");
    length = 3;
    EXPECT_EQ(CAddressCipher::HexDecode(buffer, &length), 0);
    EXPECT_EQ(length, 3u);
    EXPECT_STREQ(buffer, "0AF");
}

TEST(AddressCipherTest, PassPhraseIs66CharactersAndATerminator) {
    CAddressCipher::BuildPassPhrase(nullptr);  // writes nothing, must not crash

    char buffer[70];
    std::memset(buffer, '#', sizeof buffer);
    CAddressCipher::BuildPassPhrase(buffer);
    EXPECT_EQ(std::strlen(buffer), 66u);
    EXPECT_EQ(buffer[67], '#') << "nothing is written past the terminator";
    char again[67];
    CAddressCipher::BuildPassPhrase(again);
    EXPECT_STREQ(again, buffer);
}

TEST(AddressCipherTest, PassPhraseNeverStandsAsOneStringInTheProgram) {
    char phrase[67];
    CAddressCipher::BuildPassPhrase(phrase);
    // This program links the library's code, pass phrase builder included.
    const std::string program = zntest::ReadWholeFile("/proc/self/exe");
    ASSERT_GT(program.size(), 100000u);
    EXPECT_EQ(program.find(phrase), std::string::npos);
    EXPECT_EQ(program.find(std::string(phrase, 33)), std::string::npos);
}

TEST(AddressCipherTest, CiphersOnSeveralThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> roundTrips(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &roundTrips] {
            CAddressCipher cipher(false);
            cipher.DeriveKey();
            for (int i = 0; i < 50; ++i) {
                const std::string plain = "192.0.2." + std::to_string(i) + ":" + std::to_string(t);
                if (cipher.Decipher(cipher.Encipher(plain)) == plain)
                    ++roundTrips[t];
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(roundTrips, std::vector<int>(4, 50));
}

}  // namespace
}  // namespace zn
