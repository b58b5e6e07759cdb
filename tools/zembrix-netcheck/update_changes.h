// What an update run changed in the server list file, for the update
// command: snapshots of the numbered entries before and after, compared.
#pragma once

#include <map>
#include <string>

#include "store/AddressCipher.h"

// Every numbered entry of the kinds an update touches (WEB, SIP, IM, FAX,
// FREE), by key, as stored; missing ones are left out.
struct ListSnapshot {
    std::map<std::string, std::string> entries;
    std::map<std::string, int> counts;  // by kind, as the update run reads them
};

ListSnapshot TakeListSnapshot(const std::string &path);

// Per kind, the entries whose stored value changed, with their new plain
// address and status; then the fallback page used, when the FREE entries
// show one was.
std::string DescribeUpdateChanges(const ListSnapshot &before, const ListSnapshot &after,
                                  zn::CAddressCipher &cipher);
