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

void OverrideCryptoModulesDirectory(const std::string &directory) {
    std::lock_guard<std::mutex> guard(Override().mutex);
    Override().source = directory;
}

}  // namespace zn
