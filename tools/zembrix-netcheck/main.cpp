// zembrix-netcheck: drive the library from the command line.

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "host_session.h"
#include "output.h"
#include "places.h"
#include "zembrixnet/Version.h"

namespace {

struct Command {
    const char *name;
    int (*run)(int argc, char **argv);
    const char *usage;
    const char *summary;
    const char *example;
};

const Command kCommands[] = {
    {"init", CmdInit, "init [--dir DIR]",
     "Initialise the library on DIR (default: the current directory), which writes the\n"
     "missing defaults of DIR/ZembrixNetWork.ini, and show the messages it sends.",
     "zembrix-netcheck init --dir ~/.zembrix"},
    {"check", CmdCheck, "check [web,sip,im,fax] [--dir DIR] [--json]",
     "Probe the servers of the given kinds (default: all) and show what was selected per\n"
     "kind. Progress goes to standard error; Ctrl-C cancels the check (twice: quit at once).\n"
     "Exit status 0 when every kind has a server, 1 when one has none.",
     "zembrix-netcheck check sip,im --dir ~/.zembrix"},
    {"info", CmdInfo, "info [--dir DIR] [--json]",
     "Show the server the last check selected for each kind, as recorded in the file.\n"
     "Exit status 0 when every kind has one, 1 otherwise.",
     "zembrix-netcheck info --json"},
    {"proxy", CmdProxy, "proxy [http://][USER:PASSWORD@]HOST[:PORT]|none [--dir DIR]",
     "Set the HTTP proxy that update runs use, or none. A proxy that asks for credentials\n"
     "gets USER and PASSWORD (Basic authentication); they are stored in the file as given\n"
     "and shown by list and doctor as USER:***@HOST:PORT.",
     "zembrix-netcheck proxy 10.0.0.8:3128"},
    {"list", CmdList, "list [--dir DIR] [--json]",
     "Show every entry of DIR/ZembrixNetWork.ini deciphered: kind, number, plain address,\n"
     "status (0 usable, 1 selected, -1 failed), then the selections, the proxy and the\n"
     "fallback pages. Exit status 1 when the file is missing or cannot be read.",
     "zembrix-netcheck list --dir ~/.zembrix"},
    {"encipher", CmdEncipher, "encipher [--] TEXT",
     "Print TEXT enciphered as the file stores addresses (upper-case hex). Put -- before a\n"
     "TEXT that begins with '-'.",
     "zembrix-netcheck encipher 192.0.2.21:5060"},
    {"decipher", CmdDecipher, "decipher HEX",
     "Print the plain text of an enciphered address as it is (control bytes escaped as \\xNN).",
     "zembrix-netcheck decipher 2ABF5A9511E361E8F2FF76FF2033A7"},
    {"update", CmdUpdate, "update [--version TEXT] [--dir DIR] [--json]",
     "Ask the provider for fresh server lists (web API directly, then through the file's HTTP\n"
     "proxy, then the next fallback page) and show what was written per kind. The servers go\n"
     "into entries marked failed (-1). Ctrl-C cancels the update (twice: quit at once).\n"
     "Exit status 0 when a server entry changed, 1 when none did.",
     "zembrix-netcheck update --version 2.1 --dir ~/.zembrix"},
    {"doctor", CmdDoctor, "doctor [--dir DIR] [--update] [--version V] [--json]",
     "Look at DIR and its file (present, readable, writable), then run a check (and with\n"
     "--update an update) with the library's own code watched step by step: each probe, the\n"
     "connectivity test, each update source and what the merge wrote, with outcomes and times\n"
     "as they happen. Then a verdict names the causes it found (the directory or the file,\n"
     "servers refusing or silent, no internet, the client certificate or its key, the proxy,\n"
     "the web API's answer, the fallback page) with advice. Like any check it records the\n"
     "selections in the file; --update also changes the file as an update does (it writes\n"
     "the servers it gets and uses up a fallback page). Exit status as for check (and\n"
     "update): 0 when every kind has a server (and the update wrote an entry).",
     "zembrix-netcheck doctor --update --dir ~/.zembrix"},
    {"fetch", CmdFetch, "fetch URL [--agent A] [--header H]... [--verbose] [--json]",
     "Read URL through the exported class CAsyncSSLConnection and print the body as it sees\n"
     "it; --verbose adds the text's length and the time to the first byte on standard error.\n"
     "Exit status 0 when the URL was opened, 1 otherwise.",
     "zembrix-netcheck fetch https://192.0.2.5/list --header 'X-Client: 7'"},
};

// The parts of the manual page around its list of commands.
const char *const kManualHead =
    ".TH ZEMBRIX-NETCHECK 1 \"\" \"zembrixnet " ZEMBRIXNET_VERSION_STRING
    "\" \"User Commands\"\n"
    ".SH NAME\nzembrix-netcheck \\- drive the zembrixnet server reachability library\n"
    ".SH SYNOPSIS\n.B zembrix-netcheck\n.I COMMAND\n.RI [ ARGS ]\n.br\n"
    ".B zembrix-netcheck\n.I COMMAND\n.B \\-\\-help\n.br\n"
    ".B zembrix-netcheck \\-\\-version\n.br\n.B zembrix-netcheck \\-\\-manual\n"
    ".SH DESCRIPTION\n.B zembrix-netcheck\n"
    "is the command-line host of the zembrixnet library, which a voice-over-IP client loads\n"
    "to learn which of its provider's servers (web, SIP proxy, IM and fax servers) it can\n"
    "reach and to keep its list of those servers current. The library keeps that list in\n"
    ".IR DIR /ZembrixNetWork.ini,\nwith the addresses enciphered;\n.I DIR\n"
    "defaults to the current directory.\n.PP\n"
    "Results go to standard output, progress (the library's callbacks) and reasons to\n"
    "standard error. With\n.B \\-\\-json\nstandard output holds one JSON document and "
    "nothing else. Texts from the file or the network are printed with control characters\n"
    "and malformed UTF-8 escaped as \\exNN, and cut after 4096 bytes with their size.\n"
    ".B \\-\\-manual\nprints this page.\n"
    ".SH COMMANDS\n";
const char *const kManualTail =
    ".SH EXIT STATUS\n0 success, 1 not found or failed (with the reason on standard error),\n"
    "2 usage error, 130 interrupted by Ctrl-C.\n"
    ".SH FILES\n.TP\n.IR DIR /ZembrixNetWork.ini\n"
    "The server list: entries, selections, the HTTP proxy of updates, the fallback pages.\n"
    ".TP\n.IR DIR /certs/MY\n"
    "The client certificate with its unencrypted private key, in one PEM file.\n"
    ".TP\n.IR DIR /certs/ROOT\nAuthorities trusted beside the system's.\n"
    ".SH ENVIRONMENT\n.TP\n.B NO_COLOR\n"
    "When set and not empty, no colour even on a terminal.\n"
    ".SH EXAMPLE\n.nf\n"
    "zembrix-netcheck init \\-\\-dir /tmp/zn && zembrix-netcheck check \\-\\-dir /tmp/zn\n"
    "zembrix-netcheck doctor \\-\\-update \\-\\-dir /tmp/zn\n.fi\n"
    ".SH SEE ALSO\n.BR openssl (1),\n"
    "and README.md and docs/provider.md of the zembrixnet sources: the library's interface,\n"
    "the file, and what a provider's web API and pages serve.\n";

// Text as roff takes it literally: backslashes and minus signs escaped, no
// line read as a request.
std::string Roff(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool lineStart = i == 0 || text[i - 1] == '\n';
        if (lineStart && (text[i] == '.' || text[i] == '\''))
            out += "\\&";
        out += text[i] == '\\' ? "\\e" : text[i] == '-' ? "\\-" : std::string(1, text[i]);
    }
    return out;
}

void PrintManual() {
    std::fputs(kManualHead, Out());
    for (const Command &command : kCommands) {
        std::fprintf(Out(), ".TP\n.B %s\n%s\n.IP\n.B %s\n", Roff(command.usage).c_str(),
                     Roff(command.summary).c_str(), Roff(command.example).c_str());
    }
    std::fputs(kManualTail, Out());
}

// Edits (insertions, deletions, substitutions) from a to b.
size_t EditDistance(const std::string &a, const std::string &b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// " (did you mean 'update'?)" for a word a typo away from a command.
std::string Suggestion(const std::string &word) {
    if (word.size() > 64)
        return std::string();
    for (const Command &command : kCommands) {
        if (EditDistance(word, command.name) <= 2)
            return std::string(" (did you mean '") + command.name + "'?)";
    }
    return std::string();
}

void PrintToolHelp() {
    std::FILE *stream = Out();
    std::fprintf(stream,
                 "usage: zembrix-netcheck COMMAND [ARGS]   (zembrix-netcheck COMMAND --help)\n"
                 "       zembrix-netcheck --version | --manual\n\ncommands:\n");
    for (const Command &command : kCommands)
        std::fprintf(stream, "  %s\n", command.usage);
    std::fprintf(stream,
                 "\nDIR holds ZembrixNetWork.ini (default: the current directory). --json prints\n"
                 "one JSON document on standard output and nothing else there.\n"
                 "Exit status: 0 success, 1 not found or failed, 2 usage error, 130 Ctrl-C.\n\n"
                 "example:\n  zembrix-netcheck init --dir /tmp/zn && zembrix-netcheck check "
                 "--dir /tmp/zn\n");
}

void PrintCommandHelp(const Command &command) {
    std::fprintf(Out(), "usage: zembrix-netcheck %s\n\n%s\n\nexample:\n  %s\n", command.usage,
                 command.summary, command.example);
}

bool AsksForHelp(int argc, char **argv) {
    for (int i = 0; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return true;
    }
    return false;
}

}  // namespace

bool ParseArguments(const char *command, unsigned accepted, int argc, char **argv, size_t maxRest,
                    CommandOptions *options, std::vector<std::string> *rest) {
    bool optionsEnded = false;
    for (int i = 0; i < argc; ++i) {
        const std::string word = argv[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            rest->push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        const bool takesValue = (word == "--dir" && (accepted & kDirOption)) ||
                                (word == "--version" && (accepted & kVersionOption));
        if (takesValue && (i + 1 >= argc || argv[i + 1][0] == '-')) {
            UsageError(command, word + " needs a value");
            return false;
        }
        if (takesValue) {
            (word == "--dir" ? options->directory : options->version) = argv[++i];
        } else if (word == "--json" && (accepted & kJsonOption)) {
            options->json = true;
        } else if (word == "--update" && (accepted & kUpdateOption)) {
            options->update = true;
        } else {
            UsageError(command, "unknown option '" + word + "'");
            return false;
        }
    }
    if (rest->size() > maxRest) {
        UsageError(command, "unexpected argument '" + (*rest)[maxRest] + "'");
        return false;
    }
    return true;
}

int CmdInit(int argc, char **argv) {
    CommandOptions options;
    std::vector<std::string> rest;
    if (!ParseArguments("init", kDirOption, argc, argv, 0, &options, &rest))
        return kExitUsage;
    if (ReportPlaceProblem("init", options.directory, Use::kWrite))
        return kExitNotFound;
    HostSession session(options.directory);
    if (!session.Ok() || ReportPlaceProblem("init", options.directory, Use::kRead))
        return kExitNotFound;
    std::fprintf(Out(), "initialised on %s\n", Printable(options.directory, Shown::kLine).c_str());
    return kExitSuccess;
}

namespace {

int Run(int argc, char **argv) {
    SetUpOutput();
    InstallInterruptHandler();
    if (argc < 2) {
        std::fprintf(stderr, "zembrix-netcheck: which command? (try --help)\n");
        return kExitUsage;
    }
    const std::string first = argv[1];
    if (first == "--help" || first == "-h" || first == "help") {
        PrintToolHelp();
        return kExitSuccess;
    }
    if (first == "--manual") {
        PrintManual();
        return kExitSuccess;
    }
    if (first == "--version") {
        std::fprintf(Out(), "zembrix-netcheck %s\n", ZEMBRIXNET_VERSION_STRING);
        return kExitSuccess;
    }
    for (const Command &command : kCommands) {
        if (first != command.name)
            continue;
        if (AsksForHelp(argc - 2, argv + 2)) {
            PrintCommandHelp(command);
            return kExitSuccess;
        }
        const int status = command.run(argc - 2, argv + 2);
        std::fflush(Out());
        return status;
    }
    std::fprintf(stderr, "zembrix-netcheck: unknown command '%s'%s (try --help)\n",
                 Printable(first, Shown::kLine).c_str(), Suggestion(first).c_str());
    return kExitUsage;
}

}  // namespace

#ifdef _WIN32
// Windows hands a program its command line as wide characters, and the
// library takes paths in the ANSI code page: a word that code page cannot
// hold (a CJK or emoji name elsewhere) would reach it as "???". Refused here,
// in words, before any command runs.
extern "C" int wmain(int argc, wchar_t **wideArgv) {
    std::setlocale(LC_CTYPE, "");  // the ANSI code page
    std::vector<std::string> words;
    for (int i = 0; i < argc; ++i) {
        const size_t bytes = std::wcstombs(nullptr, wideArgv[i], 0);
        if (bytes == static_cast<size_t>(-1)) {
            std::fprintf(stderr,
                         "zembrix-netcheck: argument %d holds characters this system's ANSI code "
                         "page cannot write, which the library cannot take: use a path of "
                         "characters it can\n",
                         i);
            return kExitUsage;
        }
        std::string word(bytes + 1, '\0');
        std::wcstombs(&word[0], wideArgv[i], word.size());
        word.resize(bytes);
        words.push_back(word);
    }
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    return Run(argc, argv.data());
}
#else
int main(int argc, char **argv) {
    return Run(argc, argv);
}
#endif
