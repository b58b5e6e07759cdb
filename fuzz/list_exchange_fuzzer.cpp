// An update answer merged into a server list file, both any text: input is
//   file content \0 answer
// The update query is built from the file first (it repairs entries without
// a comma), stopped after a hundred entries; with the web API's path before
// it, it must be a valid request target whatever the file holds, each item
// a name, "=" and a value in which a server finds no "&" and no "+". The
// merge may only fill failed, malformed or missing entries, each with an
// enciphered address and ",0"; everything else stays.

#include <fstream>
#include <regex>

#include "FuzzCheck.h"
#include "update/ListExchange.h"
#include "update/UpdateFetcher.h"

namespace {

std::string FilePath() {
    static const std::string path = znfuzz::ScratchFile("lists");
    return path;
}

// The keys looked at: the counts, the first entries of each kind, and some
// the merge has no business with.
std::vector<std::string> Keys() {
    std::vector<std::string> keys = {"TYPE", "HTTPPROXY", "FREENUM", "FREE1", "WEB"};
    for (const char *kind : {"WEB", "SIP", "IM", "FAX"}) {
        keys.push_back(std::string(kind) + "NUM");
        for (int n = 1; n <= 12; ++n)
            keys.push_back(kind + std::to_string(n));
    }
    return keys;
}

bool IsEntryKey(const std::string &key) {
    static const std::regex entryKey("(WEB|SIP|IM|FAX)[0-9]+");
    return std::regex_match(key, entryKey);
}

// Status neither "1" nor "0", no comma, or missing.
bool IsFreeSlot(const std::string &entry) {
    const size_t comma = entry.rfind(',');
    return comma == std::string::npos ||
           (entry.substr(comma + 1) != "1" && entry.substr(comma + 1) != "0");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input = znfuzz::Rest(data, size);
    const size_t split = std::min(input.find('\0'), input.size());
    const std::string response = input.substr(std::min(split + 1, input.size()));
    const std::string path = FilePath();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << input.substr(0, split);
    }
    zn::CProfileFile profile;
    profile.m_strFileName = path;
    // Counts run to thousands, each missing entry a whole-file save: a
    // host's cancel after a hundred entries keeps each input quick.
    int entries = 0;
    const std::string query =
        zn::BuildUpdateQuery(profile, znfuzz::Cipher(), [&] { return ++entries > 100; });
    // Values of characters that stand for themselves and "%" escapes; the
    // path's 1023 characters keep the match's recursion shallow.
    static const std::regex validTarget(
        "/webapi/zembrix\\.php\\?op=getlist&ver=2\\.0"
        "(&[a-z]+[0-9]+=([-A-Za-z0-9._~!$'()*,;=:@/?]|%[0-9A-F]{2})*)*");
    std::string target;
    if (zn::BuildObjectPath("2.0", query, &target))
        FUZZ_CHECK(std::regex_match(target, validTarget));

    static const std::vector<std::string> keys = Keys();
    std::vector<std::string> before;
    for (const std::string &key : keys)
        before.push_back(profile.GetValue("NETWORK", key, "#"));
    zn::MergeServerLists(response, profile, znfuzz::Cipher());

    static const std::regex newEntry("[0-9A-F]*,0");
    for (size_t i = 0; i < keys.size(); ++i) {
        const std::string after = profile.GetValue("NETWORK", keys[i], "#");
        if (after == before[i])
            continue;
        FUZZ_CHECK(IsEntryKey(keys[i]) && IsFreeSlot(before[i]));
        FUZZ_CHECK(std::regex_match(after, newEntry));
    }
    return 0;
}
