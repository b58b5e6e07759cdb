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
// Entries of a kind that readers take when its count key is missing, and
// fallback pages when "FREENUM" is.
constexpr int kEntryCountWhenMissing = 10;
constexpr int kPageCountWhenMissing = 5;

// The server list file in a directory: directory + "/" + file name.
std::string ServerListPath(const std::string &directory);

// Writes "TYPE" and every missing default key, one key at a time.
void WriteServerListDefaults(const std::string &path);

// An address "host:port" split at its last colon; without a colon the host
// is empty and the port part is the whole text.
void SplitAtLastColon(const std::string &address, std::string *host, std::string *port);

// The transport word that ends the port part of an IM selection
// ("5222TCP", "443HTTPS", "80HTTP"): its code (0 TCP, 1 HTTPS, 2 HTTP) and
// the port part cut before it; -1 when none of the words occurs.
int FindImTransport(const std::string &portPart, std::string *portDigits);

}  // namespace zn
