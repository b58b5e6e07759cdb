#include "platform/Crypto.h"
#include "platform/CryptoShared.h"
#include "platform/posix/OpenSslErrors.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <new>
#include <vector>

namespace zn {

namespace {

std::string OwnModulesDirectory() {
    // The crypto library's own module directory, not OPENSSL_MODULES: the
    // environment of a host must not decide which code deciphers our data.
    const char *own = OPENSSL_info(OPENSSL_INFO_MODULES_DIR);
    return own ? own : "";
}

}  // namespace

void InitCryptoLibrary() {
    // The first call with this option decides: no exit handler is ever
    // registered, whoever starts the library later.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
}

struct CryptoProvider::Native {
    OSSL_LIB_CTX *context = nullptr;
    OSSL_PROVIDER *defaultProvider = nullptr;
    OSSL_PROVIDER *legacyProvider = nullptr;

    ~Native() {
        if (legacyProvider)
            OSSL_PROVIDER_unload(legacyProvider);
        if (defaultProvider)
            OSSL_PROVIDER_unload(defaultProvider);
        OSSL_LIB_CTX_free(context);
    }
};

// A private library context with both providers, loaded from the modules
// directory source names (the crypto library's own when empty).
CryptoProvider::Native *LoadCryptoProviders(const std::string &source) {
    const std::string modules = source.empty() ? OwnModulesDirectory() : source;
    ErrorQueueMark mark;
    std::unique_ptr<CryptoProvider::Native> native(new (std::nothrow) CryptoProvider::Native);
    if (!native)
        return nullptr;
    native->context = OSSL_LIB_CTX_new();
    if (!native->context)
        return nullptr;
    if (!modules.empty() &&
        !OSSL_PROVIDER_set_default_search_path(native->context, modules.c_str())) {
        return nullptr;
    }
    // Loading one provider by name turns the implicit default one off, so
    // MD5 needs "default" loaded as explicitly as RC4 needs "legacy".
    native->defaultProvider = OSSL_PROVIDER_load(native->context, "default");
    native->legacyProvider = OSSL_PROVIDER_load(native->context, "legacy");
    if (!native->defaultProvider || !native->legacyProvider)
        return nullptr;
    return native.release();
}

void FreeCryptoProviders(CryptoProvider::Native *native) {
    delete native;
}

struct Md5Hash::Native {
    EVP_MD *md = nullptr;
    EVP_MD_CTX *context = nullptr;

    ~Native() {
        EVP_MD_CTX_free(context);
        EVP_MD_free(md);
    }
};

Md5Hash::Native *NewMd5Hash(const CryptoProvider::Native &provider) {
    ErrorQueueMark mark;
    std::unique_ptr<Md5Hash::Native> native(new (std::nothrow) Md5Hash::Native);
    if (!native)
        return nullptr;
    native->md = EVP_MD_fetch(provider.context, "MD5", nullptr);
    native->context = EVP_MD_CTX_new();
    if (!native->md || !native->context ||
        !EVP_DigestInit_ex2(native->context, native->md, nullptr)) {
        return nullptr;
    }
    return native.release();
}

void FreeMd5Hash(Md5Hash::Native *hash) {
    delete hash;
}

bool UpdateMd5Hash(Md5Hash::Native *hash, const void *data, size_t length) {
    ErrorQueueMark mark;
    return EVP_DigestUpdate(hash->context, data, length) == 1;
}

bool FinishMd5Hash(Md5Hash::Native *hash, uint8_t (&digest)[kMd5DigestLength]) {
    ErrorQueueMark mark;
    unsigned int length = 0;
    return EVP_DigestFinal_ex(hash->context, digest, &length) == 1 && length == kMd5DigestLength;
}

struct Rc4Key::Native {
    EVP_CIPHER *cipher = nullptr;
    std::vector<uint8_t> bytes;

    ~Native() { EVP_CIPHER_free(cipher); }
};

Rc4Key::Native *NewRc4Key(const CryptoProvider::Native &provider, const uint8_t *key,
                          size_t length) {
    ErrorQueueMark mark;
    std::unique_ptr<Rc4Key::Native> native(new (std::nothrow) Rc4Key::Native);
    if (!native)
        return nullptr;
    native->cipher = EVP_CIPHER_fetch(provider.context, "RC4", nullptr);
    if (!native->cipher)
        return nullptr;
    try {
        native->bytes.assign(key, key + length);
    } catch (...) {
        return nullptr;
    }
    return native.release();
}

void FreeRc4Key(Rc4Key::Native *key) {
    delete key;
}

bool ApplyRc4Key(const Rc4Key::Native &key, uint8_t *data, size_t length) {
    ErrorQueueMark mark;
    EVP_CIPHER_CTX *context = EVP_CIPHER_CTX_new();
    if (!context)
        return false;
    bool ok = false;
    try {
        std::vector<uint8_t> out(length);
        int written = 0;
        // A fresh context per text: the key stream starts over each time.
        ok = EVP_CipherInit_ex2(context, key.cipher, nullptr, nullptr, 1, nullptr) == 1 &&
             EVP_CIPHER_CTX_set_key_length(context, static_cast<int>(key.bytes.size())) == 1 &&
             EVP_CipherInit_ex2(context, nullptr, key.bytes.data(), nullptr, 1, nullptr) == 1 &&
             EVP_CipherUpdate(context, out.data(), &written, data, static_cast<int>(length)) == 1 &&
             static_cast<size_t>(written) == length;
        if (ok)
            std::copy(out.begin(), out.end(), data);
    } catch (...) {
        ok = false;
    }
    EVP_CIPHER_CTX_free(context);
    return ok;
}

}  // namespace zn
