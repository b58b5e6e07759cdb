// check, info, proxy: the library's jobs and settings from the command line.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "host_session.h"
#include "store/AddressCipher.h"
#include "store/ProfileFile.h"
#include "store/ServerList.h"
#include "zembrixnet.h"

namespace {

struct Kind {
    const char *name;  // on the command line
    const char *key;   // selection key in the file
    int code;
};
const Kind kKinds[] = {{"web", "WEB", ZN_KIND_WEB},
                       {"sip", "SIP", ZN_KIND_SIP},
                       {"im", "IM", ZN_KIND_IM},
                       {"fax", "FAX", ZN_KIND_FAX}};
const char *const kTransports[] = {"TCP", "HTTPS", "HTTP"};

// "web,sip" -> mask; every kind when the text is empty. 0 on an unknown
// name.
int ParseKinds(const std::string &text) {
    if (text.empty())
        return ZN_KIND_WEB | ZN_KIND_SIP | ZN_KIND_IM | ZN_KIND_FAX;
    int mask = 0;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find(',', begin);
        if (end == std::string::npos)
            end = text.size();
        const std::string name = text.substr(begin, end - begin);
        int code = 0;
        for (const Kind &kind : kKinds) {
            if (name == kind.name)
                code = kind.code;
        }
        if (!code) {
            std::fprintf(stderr, "unknown server kind '%s' (web, sip, im, fax)\n", name.c_str());
            return 0;
        }
        mask |= code;
        begin = end + 1;
    }
    return mask;
}

void PrintRow(const char *kind, const std::string &host, const std::string &port,
              const std::string &transport) {
    std::printf("%-4s %-40s %-6s %s\n", kind, host.c_str(), port.c_str(), transport.c_str());
}

}  // namespace

int CmdCheck(int argc, char **argv) {
    CommandOptions options;
    std::vector<std::string> rest;
    if (!ParseArguments("check", argc, argv, 1, &options, &rest))
        return 2;
    const int mask = ParseKinds(rest.empty() ? "" : rest.front());
    if (!mask)
        return 2;

    HostSession session(options.directory);
    if (!session.Ok())
        return 1;
    if (CheckServerStatus("", mask) != 1)
        return 1;
    session.WaitForCheckFinished();

    std::printf("\n");
    PrintRow("KIND", "HOST", "PORT", "TRANSPORT");
    bool allFound = true;
    for (const Kind &kind : kKinds) {
        if (!(mask & kind.code))
            continue;
        char host[1024] = "", port[1024] = "", description[32] = "";
        int transport = -1;
        if (GetServerInfo(kind.code, host, port, description, &transport) != 0 || !*host) {
            PrintRow(kind.key, "none", "-", "-");
            allFound = false;
            continue;
        }
        PrintRow(kind.key, host, port, kind.code == ZN_KIND_IM ? kTransports[transport] : "-");
    }
    return allFound ? 0 : 1;
}

int CmdInfo(int argc, char **argv) {
    CommandOptions options;
    std::vector<std::string> rest;
    if (!ParseArguments("info", argc, argv, 0, &options, &rest))
        return 2;
    // The selections of the last check, as the checkers recorded them in the
    // file (a new process's library knows only the SIP one).
    zn::CProfileFile profile;
    profile.m_strFileName = zn::ServerListPath(options.directory);
    zn::CAddressCipher cipher(false);
    cipher.DeriveKey();
    PrintRow("KIND", "HOST", "PORT", "TRANSPORT");
    bool allFound = true;
    for (const Kind &kind : kKinds) {
        const std::string stored = profile.GetValue(zn::kNetworkSection, kind.key, zn::kNone);
        if (stored == zn::kNone || stored.size() >= 1024) {
            PrintRow(kind.key, "none", "-", "-");
            allFound = false;
            continue;
        }
        std::string host, port, digits;
        zn::SplitAtLastColon(cipher.Decipher(stored), &host, &port);
        std::string transport = "-";
        if (kind.code == ZN_KIND_IM) {
            const int code = zn::FindImTransport(port, &digits);
            if (code >= 0) {
                port = digits;
                transport = kTransports[code];
            }
        }
        PrintRow(kind.key, host, port, transport);
    }
    return allFound ? 0 : 1;
}

int CmdProxy(int argc, char **argv) {
    CommandOptions options;
    std::vector<std::string> rest;
    if (!ParseArguments("proxy", argc, argv, 1, &options, &rest))
        return 2;
    if (rest.empty()) {
        std::fprintf(stderr, "proxy: give HOST:PORT, or none\n");
        return 2;
    }
    HostSession session(options.directory);
    if (!session.Ok())
        return 1;
    return SetHTTPProxy(rest.front() == "none" ? "" : rest.front().c_str()) == 1 ? 0 : 1;
}
