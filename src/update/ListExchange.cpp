#include "update/ListExchange.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "report/Observer.h"
#include "store/ServerList.h"
#include "zembrixnet.h"

namespace zn {

namespace {

struct ListKind {
    const char *entryKey;   // "WEB" for "WEB1", "WEB2", ...
    const char *queryName;  // "web" for "&web1="
    const char *letter;     // "W"
    const char *countTag;   // "webservernum"
    const char *itemTag;    // "web" for "<web1>"
};

const ListKind kListKinds[] = {
    {"WEB", "web", "W", "webservernum", "web"},
    {"SIP", "sip", "S", "sipservernum", "sip"},
    {"IM", "im", "I", "imservernum", "im"},
    {"FAX", "fax", "F", "faxservernum", "fax"},
};

// What a comma-less entry is rewritten to: no address, failed.
constexpr const char *kRepairedEntry = "0:0,-1";
constexpr const char *kNoAddress = "0:0";
// Addresses are handled in address buffers, terminator included.
constexpr size_t kMaxAddressText = ZN_ADDRESS_BUFFER_BYTES - 1;
// The usual ten entries of a kind are read (and repaired) even by a run that
// is being stopped; only a count beyond them is cut short.
constexpr int kEntriesReadDespiteStop = kEntryCountWhenMissing;

const std::vector<ListTagNames> &AnswerTagNames() {
    static const std::vector<ListTagNames> *names = [] {
        auto *all = new std::vector<ListTagNames>;
        for (const ListKind &kind : kListKinds)
            all->push_back({kind.countTag, kind.itemTag});
        return all;
    }();
    return *names;
}

// Unreserved characters and the delimiters a query may hold as they are,
// less "&" and "+", which a server reads as the end of a value and a blank.
// ASCII by value: the host's locale must not let other bytes through.
bool StandsInQueryValue(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != 0 && std::strchr("-._~!$'()*,;=:@/?", c) != nullptr);
}

// The number n of a name "<item tag>n", 1 to kMaxUpdateCount written
// without leading zeros; 0 for any other name.
int ItemNumber(const char *name, size_t length, const char *itemTag) {
    const size_t prefix = std::strlen(itemTag);
    if (length <= prefix || length > prefix + 5 || std::memcmp(name, itemTag, prefix) != 0 ||
        name[prefix] == '0')
        return 0;
    int number = 0;
    for (size_t i = prefix; i < length; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return 0;
        number = number * 10 + (name[i] - '0');
    }
    return number <= kMaxUpdateCount ? number : 0;
}

// A free slot takes a new address: missing, no comma, or a status other
// than "1" (selected) and "0" (usable).
bool IsFreeSlot(const std::string &entry) {
    const size_t comma = entry.rfind(',');
    if (comma == std::string::npos)
        return true;
    const std::string status = entry.substr(comma + 1);
    return status != "1" && status != "0";
}

// The entry text for a received address; empty when the address cannot be
// stored: too long for the cipher, or (without a key) holding a line break
// that would split the file's line.
bool MakeEntry(CAddressCipher &cipher, const std::string &plain, std::string *entry) {
    if (plain.size() > kMaxAddressText)
        return false;
    std::string stored = cipher.Encipher(plain);
    if (stored.empty() && !plain.empty())
        return false;
    // Hex text holds no line break: only a plain text is looked through.
    if (!cipher.HasKey() && stored.find_first_of("\r\n") != std::string::npos)
        return false;
    *entry = std::move(stored.append(",0"));
    return true;
}

// The count key of a kind ("WEB") or of the fallback pages ("FREE"), and
// what a missing one reads as.
std::string CountKey(const std::string &kind) {
    return kind + "NUM";
}
std::string CountWhenMissing(const std::string &kind) {
    return std::to_string(kind == "FREE" ? kPageCountWhenMissing : kEntryCountWhenMissing);
}

// The count of a kind's entries or of the fallback pages from the count
// key's text.
int UpdateCountOf(const std::string &kind, const std::string &text) {
    if (kind == "FREE") {
        const int count = ParseCount(text);
        return count > kMaxUpdateCount ? kMaxUpdateCount : count;
    }
    return ReadEntryCount(text);
}

int ReadCount(const CProfileBatch &file, const std::string &kind) {
    return UpdateCountOf(kind, file.GetValue(CountKey(kind), CountWhenMissing(kind)));
}

}  // namespace

int ParseCount(const std::string &text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) {
            value = static_cast<long long>(INT_MAX) + 1;
        }
    }
    if (negative)
        return value > INT_MAX ? INT_MIN : static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

int ReadEntryCount(const std::string &text) {
    const int count = ParseCount(text);
    if (count < 0)
        return kNegativeCountMeans;
    return count > kMaxUpdateCount ? kMaxUpdateCount : count;
}

int ReadUpdateCount(CProfileFile &profile, const std::string &kind) {
    return UpdateCountOf(kind,
                         profile.GetValue(kNetworkSection, CountKey(kind), CountWhenMissing(kind)));
}

int ReadAnnouncedCount(const std::string &text) {
    const int count = ParseCount(text);
    if (count < 1)
        return 0;
    return count > kMaxUpdateCount ? kMaxUpdateCount : count;
}

std::string EscapeQueryValue(const std::string &text) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (StandsInQueryValue(byte)) {
            escaped += c;
        } else {
            escaped += '%';
            escaped += kDigits[byte >> 4];
            escaped += kDigits[byte & 0x0F];
        }
    }
    return escaped;
}

CListTags::CListTags(const std::string &text, const std::vector<ListTagNames> &kinds,
                     const std::function<bool()> &stopping)
    : m_scan(
          text, kinds.size() * (kMaxUpdateCount + 1),
          [&kinds](const char *name, size_t length) { return SlotOf(kinds, name, length); },
          stopping) {}

int CListTags::SlotOf(const std::vector<ListTagNames> &kinds, const char *name, size_t length) {
    for (size_t k = 0; k < kinds.size() && length > 0; ++k) {
        // Most names are told apart from a kind's tags by their first letter.
        if (name[0] != kinds[k].countTag[0] && name[0] != kinds[k].itemTag[0])
            continue;
        if (std::strlen(kinds[k].countTag) == length &&
            std::memcmp(kinds[k].countTag, name, length) == 0)
            return static_cast<int>(Slot(k, 0));
        if (const int item = ItemNumber(name, length, kinds[k].itemTag))
            return static_cast<int>(Slot(k, item));
    }
    return -1;
}

std::string BuildUpdateQuery(CProfileFile &profile, CAddressCipher &cipher,
                             const std::function<bool()> &stopping) {
    // One read of the file, and the repairs saved together when it goes.
    CProfileBatch file(profile, kNetworkSection);
    std::string query;
    for (const ListKind &kind : kListKinds) {
        const int count = ReadCount(file, kind.entryKey);
        // Entries the last check selected go last; the others only when at
        // least one entry of the kind has failed or is malformed.
        std::string confirmed, pending;
        bool anyFailed = false;
        for (int n = 1; n <= count; ++n) {
            if (n > kEntriesReadDespiteStop && stopping && stopping())
                return query;
            const std::string key = kind.entryKey + std::to_string(n);
            const std::string entry = file.GetValue(key, kMissing);
            const size_t comma = entry.rfind(',');
            std::string status, address;
            if (comma == std::string::npos) {
                file.SetValue(key, kRepairedEntry);
                status = "-1";
                address = kNoAddress;
            } else {
                status = entry.substr(comma + 1);
                address = cipher.Decipher(entry.substr(0, comma));
            }
            std::string *list = &pending;
            if (status == "1") {
                list = &confirmed;
            } else if (status != "0") {
                anyFailed = true;
                status = "-1";
                if (address.find(':') == std::string::npos)
                    address = kNoAddress;
            }
            *list += "&" + std::string(kind.queryName) + std::to_string(n) + "=" +
                     EscapeQueryValue(address) + "," + status + "," + kind.letter;
        }
        if (anyFailed)
            query += pending;
        query += confirmed;
    }
    return query;
}

namespace {

// The merge into a batch held for it; the entries written are gathered in
// seen, to be observed once the batch has gone and its locks with it.
void MergeInto(const CListTags &tags, CProfileBatch &file, CAddressCipher &cipher,
               const std::function<bool()> &stopping, std::vector<Observation> *seen) {
    const auto stopped = [&stopping] { return stopping && stopping(); };
    for (size_t k = 0; k < AnswerTagNames().size(); ++k) {
        const ListKind &kind = kListKinds[k];
        const int items = ReadAnnouncedCount(tags.Count(k));
        if (items < 1)
            continue;
        const int slots = ReadCount(file, kind.entryKey);
        // The slot cursor only moves forward: item M goes to the M-th free
        // slot, and once the slots run out the kind's later items are lost.
        int slot = 1;
        for (int m = 1; m <= items && slot <= slots; ++m) {
            if (stopped())
                return;
            std::string entry;
            // An item too long to store is not even copied.
            if (tags.ItemLength(k, m) > kMaxAddressText ||
                !MakeEntry(cipher, tags.Item(k, m), &entry)) {
                continue;
            }
            for (; slot <= slots; ++slot) {
                std::string key = kind.entryKey + std::to_string(slot);
                if (stopped())
                    return;
                if (IsFreeSlot(file.GetValue(key, kMissing))) {
                    if (stopped())
                        return;
                    if (Observing())
                        seen->emplace_back(Step::Written, kind.entryKey, key, tags.Item(k, m));
                    file.SetValue(std::move(key), std::move(entry));
                    ++slot;
                    break;
                }
            }
        }
    }
}

}  // namespace

void MergeServerLists(const std::string &response, CProfileFile &profile, CAddressCipher &cipher,
                      const std::function<bool()> &stopping) {
    const CListTags tags(response, AnswerTagNames(), stopping);
    for (size_t k = 0; k < AnswerTagNames().size() && Observing(); ++k) {
        Observation announced(Step::Announced, kListKinds[k].entryKey);
        announced.count = ReadAnnouncedCount(tags.Count(k));
        Observe(announced);
    }
    std::vector<Observation> seen;
    {
        // One read of the file; the entries written are saved together when
        // it goes, a stop included.
        CProfileBatch file(profile, kNetworkSection);
        MergeInto(tags, file, cipher, stopping, &seen);
    }
    for (const Observation &observation : seen)
        Observe(observation);
}

}  // namespace zn
