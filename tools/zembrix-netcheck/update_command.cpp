// update: one update run from the command line, then what it changed in the
// server list file.

#include <cstdio>
#include <string>
#include <vector>

#include "api/ToolAccess.h"
#include "commands.h"
#include "host_session.h"
#include "output.h"
#include "places.h"
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

std::string ChangesAsJson(const UpdateChanges &changes, bool changed, bool cancelled) {
    std::vector<std::string> kinds;
    for (const auto &kind : changes.kinds) {
        std::vector<std::string> written;
        for (const WrittenEntry &entry : kind.second) {
            written.push_back(JsonObject()
                                  .String("key", entry.key)
                                  .String("address", entry.address)
                                  .String("status", entry.status)
                                  .Text());
        }
        kinds.push_back(
            JsonObject().String("kind", kind.first).Raw("written", JsonArray(written)).Text());
    }
    return JsonObject()
        .Bool("cancelled", cancelled)
        .Bool("changed", changed)
        .Raw("kinds", JsonArray(kinds))
        .Raw("fallbackPage", changes.pageUsed.empty() ? "null" : JsonString(changes.pageUsed))
        .Text();
}

}  // namespace

int CmdUpdate(int argc, char **argv) {
    CommandOptions options;
    std::vector<std::string> rest;
    if (!ParseArguments("update", kDirOption | kJsonOption | kVersionOption, argc, argv, 0,
                        &options, &rest))
        return kExitUsage;

    if (ReportPlaceProblem("update", options.directory, Use::kWrite))
        return kExitNotFound;
    // After the initialisation, which writes the missing defaults: those are
    // not the update's doing.
    HostSession session(options.directory);
    if (!session.Ok())
        return kExitNotFound;
    const std::string path = zn::ServerListPath(options.directory);
    const ListSnapshot before = TakeListSnapshot(path);
    if (UpdateServerList(options.version.c_str()) != 1) {
        std::fprintf(stderr, "zembrix-netcheck update: the library refused to start an update\n");
        return kExitNotFound;
    }
    const bool cancelled = session.WaitForUpdateFinished();
    const ListSnapshot after = TakeListSnapshot(path);

    zn::CAddressCipher cipher(false);
    cipher.DeriveKey();
    const UpdateChanges changes = CompareSnapshots(before, after, cipher);
    const bool changed = ServerEntriesChanged(before, after);
    if (options.json)
        std::fprintf(Out(), "%s\n", ChangesAsJson(changes, changed, cancelled).c_str());
    else
        std::fprintf(Out(), "\n%s", DescribeUpdateChanges(changes).c_str());
    if (cancelled) {
        std::fprintf(stderr, "zembrix-netcheck update: cancelled by Ctrl-C\n");
        return kExitInterrupted;
    }
    if (!changed) {
        // A write that failed on the way (a full disk) shows here too.
        const Problem problem = PlaceProblem(options.directory, Use::kWrite);
        std::fprintf(stderr, "zembrix-netcheck update: no server entry changed%s\n",
                     problem.Found() ? Printable(": " + problem.text, Shown::kLine).c_str()
                                     : " ('zembrix-netcheck doctor --update' tells why)");
    }
    return changed ? kExitSuccess : kExitNotFound;
}
