#include "store/ServerList.h"

#include <cstdio>

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
    if (host->size() >= 2 && host->front() == '[' && host->back() == ']')
        *host = host->substr(1, host->size() - 2);
}

std::string JoinHostAndPort(const std::string &host, const std::string &port) {
    return host.find(':') == std::string::npos ? host + ":" + port : "[" + host + "]:" + port;
}

bool IsIPv6Literal(const std::string &text) {
    // Eight groups of one to four hex digits; "::" once stands for one or
    // more groups of zeros; a dotted IPv4 address may stand for the last two.
    const std::string::size_type gap = text.find("::");
    if (gap != std::string::npos && text.find("::", gap + 1) != std::string::npos)
        return false;
    int groups = 0;
    std::string::size_type at = 0;
    if (gap == 0)
        at = 2;
    while (at < text.size()) {
        std::string::size_type end = text.find(':', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string group = text.substr(at, end - at);
        if (end == text.size() && group.find('.') != std::string::npos) {
            int a = -1, b = -1, c = -1, d = -1;
            char tail = 0;
            if (std::sscanf(group.c_str(), "%3d.%3d.%3d.%3d%c", &a, &b, &c, &d, &tail) != 4 ||
                group.find_first_not_of("0123456789.") != std::string::npos || a > 255 || b > 255 ||
                c > 255 || d > 255)
                return false;
            groups += 2;
        } else {
            if (group.empty() || group.size() > 4 ||
                group.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return false;
            ++groups;
        }
        if (end == text.size())
            break;
        at = end + 1;
        if (at == gap + 1)
            at = gap + 2;  // past the "::"
        else if (at == text.size())
            return false;  // a single colon at the end
    }
    return gap == std::string::npos ? groups == 8 : groups < 8;
}

bool IsHostName(const std::string &text) {
    if (text.empty() || text.size() > 253)
        return false;
    std::string::size_type at = 0;
    for (;;) {
        std::string::size_type end = text.find('.', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string label = text.substr(at, end - at);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-' ||
            label.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                    "0123456789-") != std::string::npos)
            return false;
        if (end == text.size())
            return label.find_first_not_of("0123456789") != std::string::npos;
        at = end + 1;
    }
}

bool SplitNamedAddress(const std::string &address, std::string *host, std::string *rest) {
    std::string::size_type colon;
    std::string found;
    if (!address.empty() && address.front() == '[') {
        const std::string::size_type close = address.find(']');
        if (close == std::string::npos)
            return false;
        found = address.substr(1, close - 1);
        colon = close + 1;
        if (!IsIPv6Literal(found))
            return false;
    } else {
        colon = address.find(':');
        found = address.substr(0, colon);
        if (!IsHostName(found))
            return false;
    }
    if (colon >= address.size() || address[colon] != ':' ||
        address.find_first_of(": \t\n\v\f\r", colon + 1) != std::string::npos)
        return false;
    *host = found;
    *rest = address.substr(colon + 1);
    return true;
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
