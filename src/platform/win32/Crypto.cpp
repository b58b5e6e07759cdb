#include "platform/Crypto.h"
#include "platform/CryptoShared.h"

// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <wincrypt.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <vector>

namespace zn {

namespace {

// RC4 key blob as the provider imports raw key bytes.
struct PlainKeyBlob {
    BLOBHEADER header;
    DWORD length;
    BYTE key[16];
};

}  // namespace

void InitCryptoLibrary() {
    // CryptoAPI needs no start-up and registers nothing at exit.
}

struct CryptoProvider::Native {
    HCRYPTPROV provider = 0;
    ~Native() {
        if (provider)
            CryptReleaseContext(provider, 0);
    }
};

// The provider source names, or the enhanced one (the base one limits RC4
// keys to 40 bits). The first acquisition loads the provider's module, which
// takes the loader lock: the process's own set is loaded on the host's
// thread.
CryptoProvider::Native *LoadCryptoProviders(const std::string &source) {
    std::unique_ptr<CryptoProvider::Native> native(new (std::nothrow) CryptoProvider::Native);
    if (!native)
        return nullptr;
    const char *name = source.empty() ? MS_ENHANCED_PROV_A : source.c_str();
    if (!CryptAcquireContextA(&native->provider, nullptr, name, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT)) {
        return nullptr;
    }
    return native.release();
}

void FreeCryptoProviders(CryptoProvider::Native *native) {
    delete native;
}

struct Md5Hash::Native {
    HCRYPTHASH hash = 0;
    bool finished = false;
    ~Native() {
        if (hash)
            CryptDestroyHash(hash);
    }
};

std::unique_ptr<Md5Hash> Md5Hash::Create(const CryptoProvider &provider) {
    std::unique_ptr<Native> native(new (std::nothrow) Native);
    if (!native || !CryptCreateHash(provider.m_native->provider, CALG_MD5, 0, 0, &native->hash))
        return nullptr;
    Md5Hash *hash = new (std::nothrow) Md5Hash(native.get());
    if (!hash)
        return nullptr;
    native.release();
    return std::unique_ptr<Md5Hash>(hash);
}

Md5Hash::~Md5Hash() {
    delete m_native;
}

bool Md5Hash::Update(const void *data, size_t length) {
    if (m_native->finished)
        return false;
    const BYTE *bytes = static_cast<const BYTE *>(data);
    while (length > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
        if (!CryptHashData(m_native->hash, bytes, chunk, 0))
            return false;
        bytes += chunk;
        length -= chunk;
    }
    return true;
}

bool Md5Hash::Finish(uint8_t (&digest)[kMd5DigestLength]) {
    if (m_native->finished)
        return false;
    m_native->finished = true;
    DWORD length = kMd5DigestLength;
    return CryptGetHashParam(m_native->hash, HP_HASHVAL, digest, &length, 0) &&
           length == kMd5DigestLength;
}

struct Rc4Key::Native {
    HCRYPTKEY key = 0;
    ~Native() {
        if (key)
            CryptDestroyKey(key);
    }
};

std::unique_ptr<Rc4Key> Rc4Key::Create(const CryptoProvider &provider, const uint8_t *key,
                                       size_t length) {
    // The provider's RC4 takes keys of 5 to 16 bytes, and salts a 5-byte one
    // whatever the flags say. A key of 5 bytes or less is repeated beyond
    // that: RC4's key schedule reads the key cyclically, so a whole number of
    // repetitions is the same key.
    constexpr size_t kLongest = sizeof PlainKeyBlob{}.key;
    if (!key || length < 1 || length > kLongest)
        return nullptr;
    size_t repeated = length;
    while (repeated <= 5)
        repeated += length;
    std::unique_ptr<Native> native(new (std::nothrow) Native);
    if (!native)
        return nullptr;
    PlainKeyBlob blob{};
    blob.header.bType = PLAINTEXTKEYBLOB;
    blob.header.bVersion = CUR_BLOB_VERSION;
    blob.header.aiKeyAlg = CALG_RC4;
    blob.length = static_cast<DWORD>(repeated);
    for (size_t i = 0; i < repeated; ++i)
        blob.key[i] = key[i % length];
    const DWORD size = static_cast<DWORD>(offsetof(PlainKeyBlob, key) + repeated);
    // No salt: the key stream is RC4's own under exactly these bytes.
    const bool imported =
        CryptImportKey(provider.m_native->provider, reinterpret_cast<const BYTE *>(&blob), size, 0,
                       CRYPT_NO_SALT, &native->key) != 0;
    SecureZeroMemory(&blob, sizeof blob);
    if (!imported)
        return nullptr;
    Rc4Key *rc4 = new (std::nothrow) Rc4Key(native.get());
    if (!rc4)
        return nullptr;
    native.release();
    return std::unique_ptr<Rc4Key>(rc4);
}

Rc4Key::~Rc4Key() {
    delete m_native;
}

bool Rc4Key::Apply(uint8_t *data, size_t length) const {
    if (length == 0)
        return true;
    if (!data || length > 0x7FFFFFFF)
        return false;
    // A copy of the key per text: the key stream starts over each time, and
    // the stored key is never advanced by a concurrent caller.
    HCRYPTKEY copy = 0;
    if (!CryptDuplicateKey(m_native->key, nullptr, 0, &copy))
        return false;
    bool ok = false;
    try {
        std::vector<uint8_t> out(data, data + length);
        DWORD written = static_cast<DWORD>(length);
        ok = CryptEncrypt(copy, 0, TRUE, 0, out.data(), &written, written) && written == length;
        if (ok)
            std::copy(out.begin(), out.end(), data);
    } catch (...) {
        ok = false;
    }
    CryptDestroyKey(copy);
    return ok;
}

}  // namespace zn
