// What an update run changed in the server list file, for the update
// command: snapshots of the numbered entries before and after, compared.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "api/ToolAccess.h"

// Every numbered entry of the kinds an update touches (WEB, SIP, IM, FAX,
// FREE), by key, as stored; missing ones are left out.
struct ListSnapshot {
    std::map<std::string, std::string> entries;
    std::map<std::string, int> counts;  // by kind, as the update run reads them
};

ListSnapshot TakeListSnapshot(const std::string &path);

// One entry an update wrote: its key, plain address and status, as the
// network gave them.
struct WrittenEntry {
    std::string key, address, status;
};

struct UpdateChanges {
    // WEB, SIP, IM, FAX in this order, each with the entries written.
    std::vector<std::pair<std::string, std::vector<WrittenEntry>>> kinds;
    // The fallback page the update read, when the FREE entries show one.
    std::string pageUsed;
};

UpdateChanges CompareSnapshots(const ListSnapshot &before, const ListSnapshot &after,
                               zn::CAddressCipher &cipher);
std::string DescribeUpdateChanges(const UpdateChanges &changes);

// Per kind, the entries whose stored value changed, with their new plain
// address and status; then the fallback page used, when the FREE entries
// show one was.
std::string DescribeUpdateChanges(const ListSnapshot &before, const ListSnapshot &after,
                                  zn::CAddressCipher &cipher);
