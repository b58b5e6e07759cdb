// MD5 and RC4 of the platform layer against published test vectors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Crypto.h"
#include "platform/TestHooks.h"
#include "support/TempDir.h"

namespace zn {
namespace {

std::string Hex(const uint8_t *data, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        hex += kDigits[data[i] >> 4];
        hex += kDigits[data[i] & 15];
    }
    return hex;
}

std::vector<uint8_t> Bytes(const std::string &text) {
    return {text.begin(), text.end()};
}

class CryptoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_provider = CryptoProvider::Acquire();
        ASSERT_NE(m_provider, nullptr) << "default and legacy providers should load";
    }

    std::string Md5Of(const std::string &text) {
        std::unique_ptr<Md5Hash> hash = Md5Hash::Create(*m_provider);
        uint8_t digest[kMd5DigestLength];
        if (!hash || !hash->Update(text.data(), text.size()) || !hash->Finish(digest)) {
            return "failed";
        }
        return Hex(digest, sizeof digest);
    }

    std::string Rc4Of(const std::vector<uint8_t> &key, std::vector<uint8_t> data) {
        std::unique_ptr<Rc4Key> rc4 = Rc4Key::Create(*m_provider, key.data(), key.size());
        if (!rc4 || !rc4->Apply(data.data(), data.size()))
            return "failed";
        return Hex(data.data(), data.size());
    }

    std::unique_ptr<CryptoProvider> m_provider;
};

TEST_F(CryptoTest, Md5MatchesRfc1321TestSuite) {
    EXPECT_EQ(Md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Of("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Of("12345678901234567890123456789012345678901234567890123456789012345678901234"
                    "567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST_F(CryptoTest, Md5TakesDataInPiecesUntilFinishedOnce) {
    std::unique_ptr<Md5Hash> hash = Md5Hash::Create(*m_provider);
    ASSERT_NE(hash, nullptr);
    ASSERT_TRUE(hash->Update("message ", 8));
    ASSERT_TRUE(hash->Update("digest", 6));
    uint8_t digest[kMd5DigestLength];
    ASSERT_TRUE(hash->Finish(digest));
    EXPECT_EQ(Hex(digest, sizeof digest), Md5Of("message digest"));

    // A finished hash takes nothing more and cannot be finished again.
    EXPECT_FALSE(hash->Update("x", 1));
    EXPECT_FALSE(hash->Finish(digest));
}

TEST_F(CryptoTest, Rc4MatchesPublishedVectors) {
    EXPECT_EQ(Rc4Of(Bytes("Key"), Bytes("Plaintext")), "bbf316e8d940af0ad3");
    EXPECT_EQ(Rc4Of(Bytes("Wiki"), Bytes("pedia")), "1021bf0420");
    EXPECT_EQ(Rc4Of(Bytes("Secret"), Bytes("Attack at dawn")), "45a01f645fc35b383552544b9bf5");
    // RFC 6229: key streams at offset 0 for a 40-bit and a 128-bit key.
    const std::vector<uint8_t> zeros(16, 0);
    EXPECT_EQ(Rc4Of({1, 2, 3, 4, 5}, zeros), "b2396305f03dc027ccc3524a0a1118a8");
    EXPECT_EQ(Rc4Of({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, zeros),
              "9ac7cc9a609d1ef7b2932899cde41b97");
}

TEST_F(CryptoTest, Rc4StartsEveryTextAtTheBeginningOfTheKeyStream) {
    const std::vector<uint8_t> key = Bytes("Key");
    std::unique_ptr<Rc4Key> rc4 = Rc4Key::Create(*m_provider, key.data(), key.size());
    ASSERT_NE(rc4, nullptr);
    std::vector<uint8_t> data = Bytes("Plaintext");
    ASSERT_TRUE(rc4->Apply(data.data(), data.size()));
    const std::string first = Hex(data.data(), data.size());
    ASSERT_TRUE(rc4->Apply(data.data(), data.size()));
    EXPECT_EQ(data, Bytes("Plaintext")) << "applying twice restores the text";
    ASSERT_TRUE(rc4->Apply(data.data(), data.size()));
    EXPECT_EQ(Hex(data.data(), data.size()), first);
    EXPECT_TRUE(rc4->Apply(nullptr, 0));
}

TEST_F(CryptoTest, Rc4RefusesKeyLengthsOutsideItsRange) {
    const std::vector<uint8_t> key(257, 7);
    EXPECT_EQ(Rc4Key::Create(*m_provider, key.data(), 0), nullptr);
    EXPECT_EQ(Rc4Key::Create(*m_provider, key.data(), 257), nullptr);
    EXPECT_NE(Rc4Key::Create(*m_provider, key.data(), 256), nullptr);
}

TEST(CryptoProviderTest, MissingLegacyModuleMeansNoProvider) {
    zntest::TempDir empty;
    TestHooks().cryptoModules.Set(empty.Path());
    std::unique_ptr<CryptoProvider> provider = CryptoProvider::Acquire();
    TestHooks().cryptoModules.Set("");
    EXPECT_EQ(provider, nullptr);
    EXPECT_NE(CryptoProvider::Acquire(), nullptr) << "the library's own directory is back";
}

}  // namespace
}  // namespace zn
