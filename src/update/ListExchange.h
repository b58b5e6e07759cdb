// What an update run sends about the server lists (the query) and how it
// merges the lists it gets back into the server list file.
#pragma once

#include <functional>
#include <string>

#include "store/AddressCipher.h"
#include "store/ProfileFile.h"

namespace zn {

// Largest count of entries or items an update reads; larger counts are cut
// to it, so a damaged file or a hostile answer cannot keep a run busy for
// hours.
constexpr int kMaxUpdateCount = 10000;
// A negative count stands for this many entries, as the checkers read it.
constexpr int kNegativeCountMeans = 10;

// The decimal number at the start of text as the C library's atoi reads it
// (leading white space, a sign, digits; 0 without digits), but saturating
// instead of overflowing.
int ParseCount(const std::string &text);
// ParseCount for a count of entries or items: negative reads as 10, above
// kMaxUpdateCount as kMaxUpdateCount.
int ReadEntryCount(const std::string &text);

// The update query from every entry of the file. Rewrites entries without
// a comma as "0:0,-1"; writes nothing else. The profile's file name is set
// and the cipher's key derived by the caller. stopping, when given, is asked
// before each entry after a kind's tenth: once it answers true the query is
// cut there, so that a count of thousands (each repair a whole-file save)
// cannot hold up a stop.
std::string BuildUpdateQuery(CProfileFile &profile, CAddressCipher &cipher,
                             const std::function<bool()> &stopping = nullptr);

// Writes the addresses of a tagged answer, enciphered and with ",0", into
// the failed or malformed entries of their kinds, in entry order. Entries
// with status "1" or "0" and the count keys are never changed. Addresses
// that cannot be enciphered are dropped without taking an entry.
void MergeServerLists(const std::string &response, CProfileFile &profile, CAddressCipher &cipher);

}  // namespace zn
