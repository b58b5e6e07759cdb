#include "store/AddressCipher.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/Crypto.h"
#include "store/ProviderConfig.h"

namespace zn {

namespace {

// Digits at or above "A" count from 10, any other character from "0"; no
// character is rejected, so lower-case letters do not mean their hex values.
int DigitValue(char c) {
    const int code = static_cast<unsigned char>(c);
    return code >= 'A' ? code - 55 : code - 48;
}

}  // namespace

struct CAddressCipher::Impl {
    // Every text starts at the beginning of the key stream, so every text is
    // its XOR with the same bytes: those are made once, with the key, rather
    // than a cipher context per text. Without them, each text is run
    // through the key.
    void Apply(uint8_t *data, size_t length) const {
        if (!hasStream || length > sizeof stream) {
            key->Apply(data, length);
            return;
        }
        for (size_t i = 0; i < length; ++i)
            data[i] ^= stream[i];
    }

    std::unique_ptr<CryptoProvider> provider;
    std::unique_ptr<Rc4Key> key;
    uint8_t stream[kEncipherLimit] = {};
    bool hasStream = false;
    // Last, so it goes first: a hash or key must not outlive its provider.
    std::unique_ptr<Md5Hash> hash;
};

CAddressCipher::CAddressCipher() : CAddressCipher(true) {}

CAddressCipher::CAddressCipher(bool printNotice) : m_impl(new (std::nothrow) Impl) {
    if (!m_impl)
        return;
    m_impl->provider = CryptoProvider::Acquire();
    if (!m_impl->provider)
        return;
    if (printNotice)
        std::printf("CryptAcquireContext succeeded.\n");
    m_impl->hash = Md5Hash::Create(*m_impl->provider);
}

CAddressCipher::~CAddressCipher() {
    delete m_impl;
}

void CAddressCipher::DeriveKey() {
    char phrase[kPassPhraseLength + 1];
    BuildPassPhrase(phrase);
    DeriveKeyFromPhrase(phrase, kPassPhraseLength);
}

void CAddressCipher::DeriveKeyFromPhrase(const char *phrase, size_t length) {
    if (!m_impl || !m_impl->provider || !m_impl->hash || !phrase)
        return;
    // The hash takes data only once: a later derivation stops here and the
    // first key stays.
    if (!m_impl->hash->Update(phrase, length))
        return;
    uint8_t digest[kMd5DigestLength];
    if (!m_impl->hash->Finish(digest))
        return;
    // A 128-bit RC4 key is the whole digest, without salt.
    m_impl->key = Rc4Key::Create(*m_impl->provider, digest, sizeof digest);
    m_impl->hasStream = m_impl->key && m_impl->key->Apply(m_impl->stream, sizeof m_impl->stream);
}

bool CAddressCipher::HasKey() const {
    return m_impl && m_impl->key;
}

std::string CAddressCipher::Encipher(const std::string &plain) {
    if (!HasKey())
        return plain;
    if (plain.size() >= kEncipherLimit)
        return std::string();
    unsigned char buffer[2 * kEncipherLimit];
    uint32_t length = static_cast<uint32_t>(plain.size());
    std::memcpy(buffer, plain.data(), length);
    buffer[length] = 0;
    // A failed RC4 leaves the bytes as they were; their hex form is then the
    // result, as it always was for this text.
    m_impl->Apply(buffer, length);
    HexEncode(buffer, &length);
    return std::string(reinterpret_cast<const char *>(buffer), length);
}

std::string CAddressCipher::Decipher(const std::string &hex) {
    if (!HasKey() || hex.size() >= kDecipherLimit)
        return hex;
    char buffer[kDecipherLimit];
    uint32_t length = static_cast<uint32_t>(hex.size());
    std::memcpy(buffer, hex.data(), length);
    buffer[length] = 0;
    if (!HexDecode(buffer, &length))
        return hex;
    // A failed RC4 leaves the decoded bytes as the result.
    m_impl->Apply(reinterpret_cast<uint8_t *>(buffer), length);
    // The result is the buffer's text: a deciphered zero byte ends it.
    return std::string(buffer);
}

void CAddressCipher::BuildPassPhrase(char *buffer) {
    if (!buffer)
        return;
    BuildProviderPassPhrase(buffer);
}

int CAddressCipher::HexEncode(unsigned char *buffer, uint32_t *length) {
    if (!buffer || !length || *length >= kEncipherLimit)
        return 0;
    static const char kDigits[] = "0123456789ABCDEF";
    char scratch[2 * kEncipherLimit];
    for (uint32_t i = 0; i < *length; ++i) {
        scratch[2 * i] = kDigits[buffer[i] >> 4];
        scratch[2 * i + 1] = kDigits[buffer[i] & 0x0F];
    }
    *length *= 2;
    std::memcpy(buffer, scratch, *length);
    buffer[*length] = 0;
    return 1;
}

int CAddressCipher::HexDecode(char *buffer, uint32_t *length) {
    if (!buffer || !length || *length % 2 != 0)
        return 0;
    const uint32_t bytes = *length / 2;
    // Byte i is written after its two digits at 2i and 2i+1 were read.
    for (uint32_t i = 0; i < bytes; ++i) {
        const int value = DigitValue(buffer[2 * i]) * 16 + DigitValue(buffer[2 * i + 1]);
        buffer[i] = static_cast<char>(static_cast<unsigned char>(value & 0xFF));
    }
    *length = bytes;
    buffer[bytes] = 0;
    return 1;
}

}  // namespace zn
