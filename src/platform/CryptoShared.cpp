#include "platform/CryptoShared.h"

#include <mutex>
#include <new>

namespace zn {

namespace {

// Never destroyed: running jobs may still derive keys while the process
// exits.
struct SourceOverride {
    std::mutex mutex;
    std::string source;
};
SourceOverride &Override() {
    static SourceOverride *override = new SourceOverride;
    return *override;
}

// The process's providers: loaded once, kept to the very end (never freed,
// since a job thread may still use them while the process exits). A failed
// load is not retried, so no later caller loads on a job thread either.
struct SharedProviders {
    std::mutex mutex;
    bool loaded = false;
    CryptoProvider::Native *native = nullptr;
};
SharedProviders &Shared() {
    static SharedProviders *shared = new SharedProviders;
    return *shared;
}

CryptoProvider::Native *SharedNative() {
    SharedProviders &shared = Shared();
    std::lock_guard<std::mutex> guard(shared.mutex);
    if (!shared.loaded) {
        shared.loaded = true;
        shared.native = LoadCryptoProviders("");
    }
    return shared.native;
}

}  // namespace

void StartCryptoProviders() {
    try {
        SharedNative();
    } catch (...) {
        // Out of memory: every cipher goes without a key.
    }
}

std::unique_ptr<CryptoProvider> CryptoProvider::Acquire() {
    Native *native = nullptr;
    bool owned = false;
    try {
        std::string source;
        {
            std::lock_guard<std::mutex> guard(Override().mutex);
            source = Override().source;
        }
        owned = !source.empty();
        native = owned ? LoadCryptoProviders(source) : SharedNative();
    } catch (...) {
        return nullptr;
    }
    if (!native)
        return nullptr;
    CryptoProvider *provider = new (std::nothrow) CryptoProvider(native, owned);
    if (!provider && owned)
        FreeCryptoProviders(native);
    return std::unique_ptr<CryptoProvider>(provider);
}

CryptoProvider::~CryptoProvider() {
    if (m_owned)
        FreeCryptoProviders(m_native);
}

std::unique_ptr<Md5Hash> Md5Hash::Create(const CryptoProvider &provider) {
    Native *native = NewMd5Hash(*provider.m_native);
    if (!native)
        return nullptr;
    Md5Hash *hash = new (std::nothrow) Md5Hash(native);
    if (!hash)
        FreeMd5Hash(native);
    return std::unique_ptr<Md5Hash>(hash);
}

Md5Hash::~Md5Hash() {
    FreeMd5Hash(m_native);
}

bool Md5Hash::Update(const void *data, size_t length) {
    return !m_finished && UpdateMd5Hash(m_native, data, length);
}

bool Md5Hash::Finish(uint8_t (&digest)[kMd5DigestLength]) {
    if (m_finished)
        return false;
    m_finished = true;
    return FinishMd5Hash(m_native, digest);
}

std::unique_ptr<Rc4Key> Rc4Key::Create(const CryptoProvider &provider, const uint8_t *key,
                                       size_t length) {
    if (!key || length < 1 || length > 256)
        return nullptr;
    Native *native = NewRc4Key(*provider.m_native, key, length);
    if (!native)
        return nullptr;
    Rc4Key *rc4 = new (std::nothrow) Rc4Key(native);
    if (!rc4)
        FreeRc4Key(native);
    return std::unique_ptr<Rc4Key>(rc4);
}

Rc4Key::~Rc4Key() {
    FreeRc4Key(m_native);
}

bool Rc4Key::Apply(uint8_t *data, size_t length) const {
    if (length == 0)
        return true;
    if (!data || length > static_cast<size_t>(INT32_MAX))
        return false;
    return ApplyRc4Key(*m_native, data, length);
}

void OverrideCryptoModulesDirectory(const std::string &directory) {
    std::lock_guard<std::mutex> guard(Override().mutex);
    Override().source = directory;
}

}  // namespace zn
