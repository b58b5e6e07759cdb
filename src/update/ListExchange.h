// What an update run sends about the server lists (the query) and how it
// merges the lists it gets back into the server list file.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "http/TagParser.h"
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
// ParseCount for a count of entries read from the file: negative reads as
// 10, above kMaxUpdateCount as kMaxUpdateCount.
int ReadEntryCount(const std::string &text);
// The count of a kind's entries ("WEB", "SIP", "IM", "FAX"; ReadEntryCount)
// or of its fallback pages ("FREE"; ParseCount, above kMaxUpdateCount as
// kMaxUpdateCount) as an update run reads it from the file.
int ReadUpdateCount(CProfileFile &profile, const std::string &kind);
// ParseCount for a count of items an answer or page announces: below 1 (the
// kind is skipped) reads as 0, above kMaxUpdateCount as kMaxUpdateCount.
int ReadAnnouncedCount(const std::string &text);

// Text for a query value: every byte that cannot stand in a request target,
// or that would end or split the value ("%", "#", "&", "+", blanks, control
// bytes, bytes above 127), percent-encoded.
std::string EscapeQueryValue(const std::string &text);

// The names of one kind's tags: the count ("webservernum") and the items
// ("web" for "<web1>").
struct ListTagNames {
    const char *countTag;
    const char *itemTag;
};

// The count and items 1 to kMaxUpdateCount of each kind, cut out of an answer
// or page in one pass, as GetTagValue cuts them. The text must outlive it.
class CListTags {
  public:
    // stopping as for CTagScan: once it answers true every tag reads empty.
    CListTags(const std::string &text, const std::vector<ListTagNames> &kinds,
              const std::function<bool()> &stopping);
    bool Stopped() const { return m_scan.Stopped(); }
    std::string Count(size_t kind) const { return m_scan.Value(Slot(kind, 0)); }
    size_t ItemLength(size_t kind, int item) const { return m_scan.Length(Slot(kind, item)); }
    // The item's value, or its first limit bytes.
    std::string Item(size_t kind, int item, size_t limit = std::string::npos) const {
        return m_scan.Value(Slot(kind, item), limit);
    }

  private:
    // The slot of a wanted tag name, -1 for any other.
    static int SlotOf(const std::vector<ListTagNames> &kinds, const char *name, size_t length);
    // Slot 0 of a kind is its count, slot n its item n.
    static size_t Slot(size_t kind, int item) { return kind * (kMaxUpdateCount + 1) + item; }
    CTagScan m_scan;
};

// The update query from every entry of the file, read once. Rewrites
// entries without a comma as "0:0,-1", all in one save; writes nothing
// else. The profile's file name is set and the cipher's key derived by the
// caller. stopping, when given, is asked before each entry after a kind's
// tenth: once it answers true the query is cut there, and the repairs made
// before are saved.
std::string BuildUpdateQuery(CProfileFile &profile, CAddressCipher &cipher,
                             const std::function<bool()> &stopping = nullptr);

// Writes the addresses of a tagged answer, enciphered and with ",0", into
// the failed or malformed entries of their kinds, in entry order. Entries
// with status "1" or "0" and the count keys are never changed. Addresses
// that cannot be enciphered are dropped without taking an entry. The file is
// read once and held, and the entries are saved together, once: each kind's
// count in the answer is observed before the file is taken, the entries
// written after the save. stopping, when given, is asked
// before every read and write of an entry: once it answers true nothing more
// is gathered, and what was gathered before is saved.
void MergeServerLists(const std::string &response, CProfileFile &profile, CAddressCipher &cipher,
                      const std::function<bool()> &stopping = nullptr);

}  // namespace zn
