// The part of the crypto providers that every platform shares: the process's
// one set, loaded once and kept, and the test hook's replacement sets. Each
// platform loads and frees a set of its own kind.
#pragma once

#include <string>

#include "platform/Crypto.h"

namespace zn {

// A set of MD5 and RC4 providers: the platform's own when source is empty,
// otherwise the one the test hook named (a modules directory, or on Windows a
// provider's name). Null when it cannot be loaded.
CryptoProvider::Native *LoadCryptoProviders(const std::string &source);
void FreeCryptoProviders(CryptoProvider::Native *native);

}  // namespace zn
