// zembrix-netcheck: drive the library from the command line.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "host_session.h"

namespace {

struct Command {
    const char *name;
    int (*run)(int argc, char **argv);
    const char *usage;
    const char *summary;
};

const Command kCommands[] = {
    {"init", CmdInit, "init [--dir DIR]",
     "initialise on DIR (default: the current directory), writing the missing defaults of "
     "ZembrixNetWork.ini; prints the callbacks received"},
    {"check", CmdCheck, "check [web,sip,im,fax] [--dir DIR]",
     "run a check of the given kinds (default: all), printing each progress message, then "
     "what was selected per kind; exit status 0 when every kind has a server, 1 otherwise"},
    {"info", CmdInfo, "info [--dir DIR]",
     "show the server the last check selected for each kind, as recorded in the file"},
    {"proxy", CmdProxy, "proxy HOST:PORT|none [--dir DIR]",
     "set the HTTP proxy that update runs use, or none"},
    {"update", CmdUpdate, "update [--version V] [--dir DIR]",
     "run an update (version text V, default empty), printing each progress message, then the "
     "entries it wrote per kind with their new addresses and the fallback page used; exit status 0 "
     "when a server entry changed, 1 otherwise"},
    {"list", CmdList, "list [--dir DIR]",
     "show every entry of DIR's ZembrixNetWork.ini deciphered (kind, number, plain address, "
     "status 0 usable / 1 selected / -1 failed), the selections, the proxy and the fallback "
     "pages"},
    {"encipher", CmdEncipher, "encipher TEXT",
     "print TEXT enciphered as the file stores addresses (one line of upper-case hex)"},
    {"decipher", CmdDecipher, "decipher HEX",
     "print the plain text of an enciphered address (one line)"},
    {"fetch", CmdFetch, "fetch URL [--agent A] [--header H]... [--verbose]",
     "read URL through the exported class CAsyncSSLConnection and print the body as it sees "
     "it; --verbose adds the content length and the time to the first byte on standard "
     "error; exit status 0 when the URL was opened, 1 otherwise"},
};

void PrintHelp() {
    std::printf("usage: zembrix-netcheck COMMAND [ARGS]\n\ncommands:\n");
    for (const Command &command : kCommands) {
        std::printf("  %s\n      %s\n", command.usage, command.summary);
    }
    std::printf("  --help\n      show this text\n");
}

}  // namespace

bool ParseArguments(const char *command, int argc, char **argv, size_t maxRest,
                    CommandOptions *options, std::vector<std::string> *rest) {
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dir") == 0) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: --dir needs a directory\n", command);
                return false;
            }
            options->directory = argv[++i];
        } else {
            rest->push_back(argv[i]);
        }
    }
    if (rest->size() > maxRest) {
        std::fprintf(stderr, "%s: unexpected argument '%s'\n", command, (*rest)[maxRest].c_str());
        return false;
    }
    return true;
}

int CmdInit(int argc, char **argv) {
    CommandOptions options;
    std::vector<std::string> rest;
    if (!ParseArguments("init", argc, argv, 0, &options, &rest))
        return 2;
    HostSession session(options.directory);
    return session.Ok() ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        PrintHelp();
        return argc < 2 ? 2 : 0;
    }
    for (const Command &command : kCommands) {
        if (std::strcmp(argv[1], command.name) == 0)
            return command.run(argc - 2, argv + 2);
    }
    std::fprintf(stderr, "zembrix-netcheck: unknown command '%s' (try --help)\n", argv[1]);
    return 2;
}
