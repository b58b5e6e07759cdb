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
// is empty and the port part is the whole text. A host in brackets (an IPv6
// literal, "[2001:db8::5]:5060") is given without them.
void SplitAtLastColon(const std::string &address, std::string *host, std::string *port);

// "host:port" of a host as SplitAtLastColon gives it back: an IPv6 literal
// goes in brackets again.
std::string JoinHostAndPort(const std::string &host, const std::string &port);

// An IPv6 address in the text forms of RFC 4291, without brackets. A zone id
// ("%eth0") is refused: it names an interface of the machine that wrote it.
bool IsIPv6Literal(const std::string &text);

// A DNS host name: labels of letters, digits and inner hyphens, 63
// characters at most, joined by dots, 253 in all; the last label is not all
// digits, so that no dotted number reads as a name.
bool IsHostName(const std::string &text);

// An address whose host is an IPv6 literal in brackets or a host name,
// followed by a colon and a rest free of colons and white space: the host
// (without brackets) and the rest. False for every other form, dotted IPv4
// addresses among them: the checkers read those by a looser rule of their
// own, which files written before rely on.
bool SplitNamedAddress(const std::string &address, std::string *host, std::string *rest);

// The transport word that ends the port part of an IM selection
// ("5222TCP", "443HTTPS", "80HTTP"): its code (0 TCP, 1 HTTPS, 2 HTTP) and
// the port part cut before it; -1 when none of the words occurs.
int FindImTransport(const std::string &portPart, std::string *portDigits);

}  // namespace zn
