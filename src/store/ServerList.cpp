#include "store/ServerList.h"

#include "platform/FileSystem.h"
#include "store/ProfileFile.h"
#include "store/ProviderConfig.h"

namespace zn {

namespace {

// A default entry is unused until a check says otherwise.
constexpr const char *kUsable = ",0";

// A kind's count key holds the number of its default entries.
struct DefaultList {
    const char *kind;
    const char *const *entries;
    size_t size;
};

// In the order the file receives them.
const DefaultList kDefaultLists[] = {
    {"SIP", kDefaultSipEntries, kDefaultSipCount},
    {"WEB", kDefaultWebEntries, kDefaultWebCount},
    {"IM", kDefaultImEntries, kDefaultImCount},
    {"FAX", kDefaultFaxEntries, kDefaultFaxCount},
};

const DefaultList kDefaultFreeList = {"FREE", kDefaultFreeEntries, kDefaultFreeCount};

// Present keys keep their values, malformed or not; only a missing key (or
// one holding the missing marker itself) gets its default.
void WriteIfMissing(CProfileFile &file, const std::string &key, const std::string &value) {
    if (file.GetValue(kNetworkSection, key, kMissing) == kMissing) {
        file.SetValue(kNetworkSection, key, value);
    }
}

void WriteList(CProfileFile &file, const DefaultList &list) {
    const std::string kind = list.kind;
    WriteIfMissing(file, kind + "NUM", std::to_string(list.size));
    for (size_t i = 0; i < list.size; ++i) {
        WriteIfMissing(file, kind + std::to_string(i + 1), std::string(list.entries[i]) + kUsable);
    }
}

}  // namespace

std::string ServerListPath(const std::string &directory) {
    return directory + kPathSeparator + kServerListFileName;
}

void WriteServerListDefaults(const std::string &path) {
    try {
        CProfileFile file;
        file.m_strFileName = path;
        file.SetValue(kNetworkSection, "TYPE", "ENC");
        for (const DefaultList &list : kDefaultLists)
            WriteList(file, list);
        WriteIfMissing(file, "HTTPPROXY", kDefaultHttpProxy);
        WriteList(file, kDefaultFreeList);
    } catch (...) {
        // Initialisation goes on without the defaults; nothing is reported.
    }
}

void SplitAtLastColon(const std::string &address, std::string *host, std::string *port) {
    const std::string::size_type colon = address.rfind(':');
    *host = colon == std::string::npos ? std::string() : address.substr(0, colon);
    *port = colon == std::string::npos ? address : address.substr(colon + 1);
}

int FindImTransport(const std::string &portPart, std::string *portDigits) {
    // "HTTPS" before "HTTP": the one begins with the other.
    static const char *const kWords[] = {"TCP", "HTTPS", "HTTP"};
    for (int code = 0; code < 3; ++code) {
        const std::string::size_type at = portPart.find(kWords[code]);
        if (at == std::string::npos)
            continue;
        *portDigits = portPart.substr(0, at);
        return code;
    }
    return -1;
}

}  // namespace zn
