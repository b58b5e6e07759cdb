#include "update_changes.h"

#include "output.h"

namespace {

// Splits an entry at its last comma; without one, the whole is the address.
void SplitEntry(const std::string &entry, std::string *address, std::string *status) {
    const size_t comma = entry.rfind(',');
    *address = comma == std::string::npos ? entry : entry.substr(0, comma);
    *status = comma == std::string::npos ? std::string() : entry.substr(comma + 1);
}

std::string Lookup(const ListSnapshot &snapshot, const std::string &key) {
    const auto found = snapshot.entries.find(key);
    return found == snapshot.entries.end() ? std::string() : found->second;
}

int CountOf(const ListSnapshot &snapshot, const std::string &kind) {
    const auto found = snapshot.counts.find(kind);
    return found == snapshot.counts.end() ? 0 : found->second;
}

std::string StatusOf(const ListSnapshot &snapshot, int number) {
    std::string address, status;
    SplitEntry(Lookup(snapshot, "FREE" + std::to_string(number)), &address, &status);
    return status;
}

// The page the fallback source read, as the rotation left its traces: the
// entry newly marked used; after a restarted cycle the last entry when it
// was unused before, else the built-in page. Empty when nothing shows.
std::string FallbackPageUsed(const ListSnapshot &before, const ListSnapshot &after,
                             zn::CAddressCipher &cipher) {
    const int count = CountOf(before, "FREE");
    bool changed = false;
    for (int m = 1; m <= count; ++m) {
        if (StatusOf(before, m) == "0" && StatusOf(after, m) == "-1") {
            std::string address, status;
            SplitEntry(Lookup(after, "FREE" + std::to_string(m)), &address, &status);
            return cipher.Decipher(address);
        }
        changed = changed || StatusOf(before, m) != StatusOf(after, m);
    }
    if (!changed)
        return std::string();
    if (StatusOf(before, count) != "0")
        return zn::kBuiltInFallbackPage;
    std::string address, status;
    SplitEntry(Lookup(before, "FREE" + std::to_string(count)), &address, &status);
    return cipher.Decipher(address);
}

}  // namespace

ListSnapshot TakeListSnapshot(const std::string &path) {
    zn::CProfileFile file;
    file.m_strFileName = path;
    ListSnapshot snapshot;
    // The counts as the update run reads them.
    auto take = [&](const std::string &kind) {
        const int count = zn::ReadUpdateCount(file, kind);
        snapshot.counts[kind] = count;
        for (int n = 1; n <= count; ++n) {
            const std::string key = kind + std::to_string(n);
            const std::string value = file.GetValue(zn::kNetworkSection, key, zn::kMissing);
            if (value != zn::kMissing)
                snapshot.entries[key] = value;
        }
    };
    for (const char *kind : zn::kKindKeys)
        take(kind);
    take("FREE");
    return snapshot;
}

UpdateChanges CompareSnapshots(const ListSnapshot &before, const ListSnapshot &after,
                               zn::CAddressCipher &cipher) {
    UpdateChanges changes;
    for (const char *kind : zn::kKindKeys) {
        std::vector<WrittenEntry> written;
        for (int n = 1; n <= CountOf(after, kind); ++n) {
            const std::string key = kind + std::to_string(n);
            const std::string now = Lookup(after, key);
            if (now.empty() || Lookup(before, key) == now)
                continue;
            std::string address, status;
            SplitEntry(now, &address, &status);
            written.push_back({key, cipher.Decipher(address), status});
        }
        changes.kinds.emplace_back(kind, written);
    }
    changes.pageUsed = FallbackPageUsed(before, after, cipher);
    return changes;
}

std::string DescribeUpdateChanges(const UpdateChanges &changes) {
    std::string text;
    for (const auto &kind : changes.kinds) {
        text += kind.first + ": " + std::to_string(kind.second.size()) + " written\n";
        for (const WrittenEntry &entry : kind.second)
            text += "  " + entry.key + " " + Printable(entry.address) + " status " +
                    Printable(entry.status) + "\n";
    }
    if (!changes.pageUsed.empty())
        text += "FREE page used: " + Printable(changes.pageUsed) + "\n";
    return text;
}

std::string DescribeUpdateChanges(const ListSnapshot &before, const ListSnapshot &after,
                                  zn::CAddressCipher &cipher) {
    return DescribeUpdateChanges(CompareSnapshots(before, after, cipher));
}
