// check, info, proxy: the library's jobs and settings from the command line.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "api/ToolAccess.h"
#include "commands.h"
#include "host_session.h"
#include "output.h"
#include "places.h"
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

// "web,sip" -> mask; every kind when the text is empty. 0 (after saying
// why) on an unknown name.
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
            UsageError("check", "unknown server kind '" + name + "' (web, sip, im, fax)");
            return 0;
        }
        mask |= code;
        begin = end + 1;
    }
    return mask;
}

// One kind's selection; host empty when the kind has none.
struct Selection {
    const Kind *kind;
    std::string host, port, transport;
};

// One kind's selection as read answers it in the manner of GetServerInfo.
// keepFailed: host and port count also when the read failed after writing
// them (an IM selection that names no transport).
template <typename Read>
Selection ReadSelection(const Kind &kind, const Read &read, bool keepFailed) {
    char host[ZN_ADDRESS_BUFFER_BYTES] = "", port[ZN_ADDRESS_BUFFER_BYTES] = "";
    char description[ZN_DESCRIPTION_BUFFER_BYTES] = "";
    int transport = -1;
    Selection selection{&kind, "", "", ""};
    const bool ok = read(kind.code, host, port, description, &transport) == 0;
    if (*host && (ok || keepFailed)) {
        selection.host = host;
        selection.port = port;
        if (ok && kind.code == ZN_KIND_IM && transport >= 0 && transport <= 2)
            selection.transport = kTransports[transport];
    }
    return selection;
}

// The table, or with --json one document. True when every kind has a server.
bool PrintSelections(const std::vector<Selection> &selections, const CommandOptions &options,
                     JsonObject document) {
    bool allFound = true;
    std::vector<std::string> servers;
    if (!options.json)
        std::fprintf(Out(), "%-4s %-40s %-6s %s\n", "KIND", "HOST", "PORT", "TRANSPORT");
    for (const Selection &s : selections) {
        const bool found = !s.host.empty();
        allFound = allFound && found;
        JsonObject server;
        server.String("kind", s.kind->key).Bool("found", found);
        if (found) {
            server.String("host", s.host).String("port", s.port);
            server.Raw("transport", s.transport.empty() ? "null" : JsonString(s.transport));
        }
        servers.push_back(server.Text());
        if (options.json)
            continue;
        // Host and port as the file or the network gave them. Padding
        // before painting: colour codes would upset the widths.
        std::string host = found ? Printable(s.host) : "none";
        host.resize(std::max<size_t>(host.size(), 40), ' ');
        std::fprintf(Out(), "%-4s %s %-6s %s\n", s.kind->key,
                     Paint(Out(), found ? kGreen : kRed, host).c_str(),
                     found ? Printable(s.port).c_str() : "-",
                     s.transport.empty() ? "-" : s.transport.c_str());
    }
    if (options.json) {
        document.Raw("servers", JsonArray(servers)).Bool("allFound", allFound);
        std::fprintf(Out(), "%s\n", document.Text().c_str());
    }
    return allFound;
}

// Why text is not [http://][user:password@]host[:port]; empty when it is.
std::string ProxyFormProblem(const std::string &text) {
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7F)
            return "the proxy holds a space, a control character (CR, LF, ...) or non-ASCII";
    }
    std::string rest = text;
    if (rest.compare(0, 7, "http://") == 0)
        rest.erase(0, 7);
    else if (rest.find("://") != std::string::npos)
        return "only an http:// proxy is taken (the tunnel inside it carries the TLS)";
    const size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        const size_t colon = rest.find(':');
        if (colon == 0 || colon >= at)
            return "credentials are written USER:PASSWORD@ before the host";
        rest.erase(0, at + 1);
    }
    const size_t colon = rest.find(':');
    const std::string host = rest.substr(0, colon);
    const std::string port = colon == std::string::npos ? "1" : rest.substr(colon + 1);
    const char *const hostBytes =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_";
    if (host.empty() || host.find_first_not_of(hostBytes) != std::string::npos)
        return "HOST is a name or an IPv4 address";
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
        std::stoi(port) > 65535)
        return "PORT is a number from 1 to 65535";
    return std::string();
}

}  // namespace

int CmdCheck(int argc, char **argv) {
    CommandOptions options;
    std::vector<std::string> rest;
    if (!ParseArguments("check", kDirOption | kJsonOption, argc, argv, 1, &options, &rest))
        return kExitUsage;
    const int mask = ParseKinds(rest.empty() ? "" : rest.front());
    if (!mask)
        return kExitUsage;

    HostSession session(options.directory);
    if (!session.Ok())
        return kExitNotFound;
    if (CheckServerStatus("", mask) != 1) {
        std::fprintf(stderr, "zembrix-netcheck check: the library refused to start a check\n");
        return kExitNotFound;
    }
    const bool cancelled = session.WaitForCheckFinished();

    std::vector<Selection> selections;
    for (const Kind &kind : kKinds) {
        if (!(mask & kind.code))
            continue;
        selections.push_back(ReadSelection(kind, GetServerInfo, false));
    }
    if (!options.json)
        std::fprintf(Out(), "\n");
    const bool allFound =
        PrintSelections(selections, options, JsonObject().Bool("cancelled", cancelled));
    if (cancelled) {
        std::fprintf(stderr, "zembrix-netcheck check: cancelled by Ctrl-C\n");
        return kExitInterrupted;
    }
    return allFound ? kExitSuccess : kExitNotFound;
}

int CmdInfo(int argc, char **argv) {
    CommandOptions options;
    std::vector<std::string> rest;
    if (!ParseArguments("info", kDirOption | kJsonOption, argc, argv, 0, &options, &rest))
        return kExitUsage;
    if (ReportPlaceProblem("info", options.directory, Use::kRead))
        return kExitNotFound;
    // The selections of the last check, as the checkers recorded them in the
    // file (a new process's library knows only the SIP one).
    const std::string path = zn::ServerListPath(options.directory);
    const auto recorded = [&path](int kind, char *host, char *port, char *description,
                                  int *transport) {
        return zn::ReadRecordedServerAddress(path, kind, host, port, description, transport) ? 0
                                                                                             : 1;
    };
    std::vector<Selection> selections;
    for (const Kind &kind : kKinds)
        selections.push_back(ReadSelection(kind, recorded, true));
    return PrintSelections(selections, options, JsonObject()) ? kExitSuccess : kExitNotFound;
}

int CmdProxy(int argc, char **argv) {
    CommandOptions options;
    std::vector<std::string> rest;
    if (!ParseArguments("proxy", kDirOption, argc, argv, 1, &options, &rest))
        return kExitUsage;
    if (rest.empty())
        return UsageError("proxy", "give [http://][USER:PASSWORD@]HOST[:PORT], or none");
    const bool none = rest.front() == "none";
    const std::string problem = none ? std::string() : ProxyFormProblem(rest.front());
    if (!problem.empty())
        return UsageError("proxy", problem);
    if (ReportPlaceProblem("proxy", options.directory, Use::kWrite))
        return kExitNotFound;
    HostSession session(options.directory);
    if (!session.Ok())
        return kExitNotFound;
    SetHTTPProxy(none ? "" : rest.front().c_str());
    // The library's writes fail silently: the file says whether it was stored.
    zn::CProfileFile file;
    file.m_strFileName = zn::ServerListPath(options.directory);
    if (file.GetValue(zn::kNetworkSection, "HTTPPROXY", zn::kMissing) !=
        (none ? std::string(zn::kNone) : rest.front())) {
        const Problem problem = PlaceProblem(options.directory, Use::kWrite);
        std::fprintf(stderr, "zembrix-netcheck proxy: %s was not changed%s\n",
                     Printable(file.m_strFileName, Shown::kLine).c_str(),
                     problem.Found() ? Printable(": " + problem.text, Shown::kLine).c_str() : "");
        return kExitNotFound;
    }
    std::fprintf(Out(), "HTTP proxy of updates: %s\n",
                 none ? "none" : Printable(WithoutPassword(rest.front()), Shown::kLine).c_str());
    return kExitSuccess;
}
