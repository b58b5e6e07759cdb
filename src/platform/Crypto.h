// MD5 and RC4 for the address cipher. The algorithms come from a private
// crypto library context, so a host that uses the same crypto library for its
// own work is not affected by what we load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zn {

constexpr size_t kMd5DigestLength = 16;

// Starts the crypto library without an exit handler of its own: a host may
// exit while our threads still use it, so it must never be torn down under
// them. Called when our library loads, to come before any other first use.
void InitCryptoLibrary();

// Loads the process's one set of MD5 and RC4 providers, once; later calls
// change nothing. Called from the host's thread at initialisation, so that
// no job thread ever loads a module (that takes the loader's lock, which an
// unloading host may hold while it waits for us).
void StartCryptoProviders();

// The providers of MD5 and RC4. Hashes and keys made from it must be
// destroyed before it.
class CryptoProvider {
  public:
    // Null when either algorithm's provider cannot be loaded. Shares the
    // process's providers (see StartCryptoProviders), which stay loaded to
    // the end of the process.
    static std::unique_ptr<CryptoProvider> Acquire();
    ~CryptoProvider();
    CryptoProvider(const CryptoProvider &) = delete;
    CryptoProvider &operator=(const CryptoProvider &) = delete;

    struct Native;

  private:
    CryptoProvider(Native *native, bool owned) : m_native(native), m_owned(owned) {}
    friend class Md5Hash;
    friend class Rc4Key;
    Native *m_native;
    bool m_owned;
};

// An MD5 hash that takes data until it is finished once.
class Md5Hash {
  public:
    // Null when the hash cannot be created.
    static std::unique_ptr<Md5Hash> Create(const CryptoProvider &provider);
    ~Md5Hash();
    Md5Hash(const Md5Hash &) = delete;
    Md5Hash &operator=(const Md5Hash &) = delete;

    // False once the hash is finished.
    bool Update(const void *data, size_t length);
    // False when it was finished before; finished afterwards in any case.
    bool Finish(uint8_t (&digest)[kMd5DigestLength]);

    struct Native;

  private:
    explicit Md5Hash(Native *native) : m_native(native) {}
    Native *m_native;
    bool m_finished = false;
};

// An RC4 key. Every Apply starts at the beginning of the key stream, so the
// same text always gives the same result and applying twice restores it.
class Rc4Key {
  public:
    // Null when the key length is outside 1..256 bytes, longer than the
    // platform's RC4 takes (16 bytes on Windows, whose CryptoAPI ends at 128
    // bits), or RC4 is unavailable.
    static std::unique_ptr<Rc4Key> Create(const CryptoProvider &provider, const uint8_t *key,
                                          size_t length);
    ~Rc4Key();
    Rc4Key(const Rc4Key &) = delete;
    Rc4Key &operator=(const Rc4Key &) = delete;

    // Enciphers or deciphers in place; on failure the data stays as it was.
    bool Apply(uint8_t *data, size_t length) const;

    struct Native;

  private:
    explicit Rc4Key(Native *native) : m_native(native) {}
    Native *m_native;
};

}  // namespace zn
