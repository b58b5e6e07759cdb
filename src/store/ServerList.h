// Layout of the server list file shared by every reader and writer.
#pragma once

#include <string>

namespace zn {

constexpr const char *kServerListFileName = "ZembrixNetWork.ini";
constexpr const char *kNetworkSection = "NETWORK";
// "none": no reachable server of a kind, or no proxy.
constexpr const char *kNone = "04";
// Default passed to GetValue to tell a missing key.
constexpr const char *kMissing = "#";

// The server list file in a directory: directory + "/" + file name.
std::string ServerListPath(const std::string &directory);

// Writes "TYPE" and every missing default key, one key at a time.
void WriteServerListDefaults(const std::string &path);

}  // namespace zn
