// update: one update run from the command line, then what it changed in the
// server list file.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "host_session.h"
#include "store/AddressCipher.h"
#include "store/ServerList.h"
#include "update_changes.h"
#include "zembrixnet.h"

namespace {

// Whether any server entry changed; the fallback rotation alone does not
// count, since it advances whether the page brought servers or not.
bool ServerEntriesChanged(const ListSnapshot &before, const ListSnapshot &after) {
    auto differs = [](const ListSnapshot &a, const ListSnapshot &b) {
        for (const auto &entry : a.entries) {
            if (entry.first.compare(0, 4, "FREE") == 0)
                continue;
            const auto other = b.entries.find(entry.first);
            if (other == b.entries.end() || other->second != entry.second)
                return true;
        }
        return false;
    };
    return differs(before, after) || differs(after, before);
}

}  // namespace

int CmdUpdate(int argc, char **argv) {
    std::string version;
    std::vector<char *> others;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") != 0) {
            others.push_back(argv[i]);
        } else if (i + 1 < argc) {
            version = argv[++i];
        } else {
            std::fprintf(stderr, "update: --version needs a version text\n");
            return 2;
        }
    }
    CommandOptions options;
    std::vector<std::string> rest;
    if (!ParseArguments("update", static_cast<int>(others.size()), others.data(), 0, &options,
                        &rest))
        return 2;

    // After the initialisation, which writes the missing defaults: those are
    // not the update's doing.
    HostSession session(options.directory);
    if (!session.Ok())
        return 1;
    const std::string path = zn::ServerListPath(options.directory);
    const ListSnapshot before = TakeListSnapshot(path);
    if (UpdateServerList(version.c_str()) != 1)
        return 1;
    session.WaitForUpdateFinished();
    const ListSnapshot after = TakeListSnapshot(path);

    zn::CAddressCipher cipher(false);
    cipher.DeriveKey();
    std::printf("\n%s", DescribeUpdateChanges(before, after, cipher).c_str());
    return ServerEntriesChanged(before, after) ? 0 : 1;
}
