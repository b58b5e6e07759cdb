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
    ~Native() {
        if (hash)
            CryptDestroyHash(hash);
    }
};

Md5Hash::Native *NewMd5Hash(const CryptoProvider::Native &provider) {
    std::unique_ptr<Md5Hash::Native> native(new (std::nothrow) Md5Hash::Native);
    if (!native || !CryptCreateHash(provider.provider, CALG_MD5, 0, 0, &native->hash))
        return nullptr;
    return native.release();
}

void FreeMd5Hash(Md5Hash::Native *hash) {
    delete hash;
}

bool UpdateMd5Hash(Md5Hash::Native *hash, const void *data, size_t length) {
    const BYTE *bytes = static_cast<const BYTE *>(data);
    while (length > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
        if (!CryptHashData(hash->hash, bytes, chunk, 0))
            return false;
        bytes += chunk;
        length -= chunk;
    }
    return true;
}

bool FinishMd5Hash(Md5Hash::Native *hash, uint8_t (&digest)[kMd5DigestLength]) {
    DWORD length = kMd5DigestLength;
    return CryptGetHashParam(hash->hash, HP_HASHVAL, digest, &length, 0) &&
           length == kMd5DigestLength;
}

struct Rc4Key::Native {
    HCRYPTKEY key = 0;
    ~Native() {
        if (key)
            CryptDestroyKey(key);
    }
};

Rc4Key::Native *NewRc4Key(const CryptoProvider::Native &provider, const uint8_t *key,
                          size_t length) {
    // The provider's RC4 takes keys of 5 to 16 bytes, and salts a 5-byte one
    // whatever the flags say. A key of 5 bytes or less is repeated beyond
    // that: RC4's key schedule reads the key cyclically, so a whole number of
    // repetitions is the same key.
    constexpr size_t kLongest = sizeof PlainKeyBlob{}.key;
    if (length > kLongest)
        return nullptr;
    size_t repeated = length;
    while (repeated <= 5)
        repeated += length;
    std::unique_ptr<Rc4Key::Native> native(new (std::nothrow) Rc4Key::Native);
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
    const bool imported = CryptImportKey(provider.provider, reinterpret_cast<const BYTE *>(&blob),
                                         size, 0, CRYPT_NO_SALT, &native->key) != 0;
    SecureZeroMemory(&blob, sizeof blob);
    if (!imported)
        return nullptr;
    return native.release();
}

void FreeRc4Key(Rc4Key::Native *key) {
    delete key;
}

bool ApplyRc4Key(const Rc4Key::Native &key, uint8_t *data, size_t length) {
    // A copy of the key per text: the key stream starts over each time, and
    // the stored key is never advanced by a concurrent caller.
    HCRYPTKEY copy = 0;
    if (!CryptDuplicateKey(key.key, nullptr, 0, &copy))
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
