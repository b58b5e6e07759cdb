// The part of the crypto services that every platform shares: the process's
// one set of providers, loaded once and kept, the test hook's replacement
// sets, and the hash and key objects around each platform's own. Each
// platform loads and frees a set, a hash and a key of its own kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Crypto.h"

namespace zn {

// A set of MD5 and RC4 providers: the platform's own when source is empty,
// otherwise the one the test hook named (a modules directory, or on Windows a
// provider's name). Null when it cannot be loaded.
CryptoProvider::Native *LoadCryptoProviders(const std::string &source);
void FreeCryptoProviders(CryptoProvider::Native *native);

// Each platform's own MD5 hash and RC4 key; the objects that own them make
// the checks every platform shares. Null when they cannot be made (an RC4
// key beyond the platform's longest too).
Md5Hash::Native *NewMd5Hash(const CryptoProvider::Native &provider);
bool UpdateMd5Hash(Md5Hash::Native *hash, const void *data, size_t length);
bool FinishMd5Hash(Md5Hash::Native *hash, uint8_t (&digest)[kMd5DigestLength]);
void FreeMd5Hash(Md5Hash::Native *hash);
Rc4Key::Native *NewRc4Key(const CryptoProvider::Native &provider, const uint8_t *key,
                          size_t length);
// Enciphers 1 to INT32_MAX bytes in place; on failure they stay as they were.
bool ApplyRc4Key(const Rc4Key::Native &key, uint8_t *data, size_t length);
void FreeRc4Key(Rc4Key::Native *key);

}  // namespace zn
