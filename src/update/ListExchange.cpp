#include "update/ListExchange.h"

#include <cctype>
#include <climits>

#include "http/TagParser.h"
#include "store/ServerList.h"

namespace zn {

namespace {

struct ListKind {
    const char *countKey;   // "WEBNUM"
    const char *entryKey;   // "WEB" for "WEB1", "WEB2", ...
    const char *queryName;  // "web" for "&web1="
    const char *letter;     // "W"
    const char *countTag;   // "webservernum"
    const char *itemTag;    // "web" for "<web1>"
};

const ListKind kListKinds[] = {
    {"WEBNUM", "WEB", "web", "W", "webservernum", "web"},
    {"SIPNUM", "SIP", "sip", "S", "sipservernum", "sip"},
    {"IMNUM", "IM", "im", "I", "imservernum", "im"},
    {"FAXNUM", "FAX", "fax", "F", "faxservernum", "fax"},
};

// What a comma-less entry is rewritten to: no address, failed.
constexpr const char *kRepairedEntry = "0:0,-1";
constexpr const char *kNoAddress = "0:0";
// Addresses are handled in 1024-byte work buffers, terminator included.
constexpr size_t kMaxAddressText = 1023;
// The usual ten entries of a kind are read (and repaired) even by a run that
// is being stopped; only a count beyond them is cut short.
constexpr int kEntriesReadDespiteStop = 10;

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
    const std::string stored = cipher.Encipher(plain);
    if (stored.empty() && !plain.empty())
        return false;
    if (stored.find_first_of("\r\n") != std::string::npos)
        return false;
    *entry = stored + ",0";
    return true;
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

std::string BuildUpdateQuery(CProfileFile &profile, CAddressCipher &cipher,
                             const std::function<bool()> &stopping) {
    std::string query;
    for (const ListKind &kind : kListKinds) {
        const int count = ReadEntryCount(profile.GetValue(kNetworkSection, kind.countKey, "10"));
        // Entries the last check selected go last; the others only when at
        // least one entry of the kind has failed or is malformed.
        std::string confirmed, pending;
        bool anyFailed = false;
        for (int n = 1; n <= count; ++n) {
            if (n > kEntriesReadDespiteStop && stopping && stopping())
                return query;
            const std::string key = kind.entryKey + std::to_string(n);
            const std::string entry = profile.GetValue(kNetworkSection, key, kMissing);
            const size_t comma = entry.rfind(',');
            std::string status, address;
            if (comma == std::string::npos) {
                profile.SetValue(kNetworkSection, key, kRepairedEntry);
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
            *list += "&" + std::string(kind.queryName) + std::to_string(n) + "=" + address + "," +
                     status + "," + kind.letter;
        }
        if (anyFailed)
            query += pending;
        query += confirmed;
    }
    return query;
}

void MergeServerLists(const std::string &response, CProfileFile &profile, CAddressCipher &cipher) {
    CTagParser tags;
    for (const ListKind &kind : kListKinds) {
        const int items = ReadEntryCount(tags.GetTagValue(response, kind.countTag));
        if (items < 1)
            continue;
        const int slots = ReadEntryCount(profile.GetValue(kNetworkSection, kind.countKey, "10"));
        // The slot cursor only moves forward: item M goes to the M-th free
        // slot, and once the slots run out the kind's later items are lost.
        int slot = 1;
        for (int m = 1; m <= items && slot <= slots; ++m) {
            std::string entry;
            if (!MakeEntry(cipher, tags.GetTagValue(response, kind.itemTag + std::to_string(m)),
                           &entry)) {
                continue;
            }
            for (; slot <= slots; ++slot) {
                const std::string key = kind.entryKey + std::to_string(slot);
                if (IsFreeSlot(profile.GetValue(kNetworkSection, key, kMissing))) {
                    profile.SetValue(kNetworkSection, key, entry);
                    ++slot;
                    break;
                }
            }
        }
    }
}

}  // namespace zn
