// The provider's configuration: the pass phrase of the address cipher, the
// default entries of the server list file, the default HTTP proxy and the
// built-in fallback page. A provider replaces ProviderConfig.cpp alone; the
// counts and hex lengths here are fixed by the server list file's layout.
#pragma once

#include <cstddef>

namespace zn {

constexpr size_t kPassPhraseLength = 66;

// Writes the pass phrase character by character, then a terminating zero, so
// that it never stands as one string in the library's data.
void BuildProviderPassPhrase(char *buffer);

// Enciphered hex texts of the default entries, without their status.
constexpr size_t kDefaultSipCount = 3;
constexpr size_t kDefaultWebCount = 4;
constexpr size_t kDefaultImCount = 6;
constexpr size_t kDefaultFaxCount = 1;
constexpr size_t kDefaultFreeCount = 5;
extern const char *const kDefaultSipEntries[kDefaultSipCount];
extern const char *const kDefaultWebEntries[kDefaultWebCount];
extern const char *const kDefaultImEntries[kDefaultImCount];
extern const char *const kDefaultFaxEntries[kDefaultFaxCount];
extern const char *const kDefaultFreeEntries[kDefaultFreeCount];

// Plain text of the form "%d.%d.%d.%d:%d".
extern const char *const kDefaultHttpProxy;

// The page fetched when no fallback entry can be used: a plain HTTP URL that
// names only its host.
extern const char *const kBuiltInFallbackPage;

// The two well-known web hosts whose port 80 tells whether the internet can
// be reached at all (set at build time).
extern const char *const kConnectivityHost1;
extern const char *const kConnectivityHost2;

}  // namespace zn
