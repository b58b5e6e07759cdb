// What the tool prints and where: results on standard output, progress and
// reasons on standard error, colour only on a terminal without NO_COLOR, and
// the JSON that --json prints.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Exit statuses of every command.
constexpr int kExitSuccess = 0;
constexpr int kExitNotFound = 1;  // the job ran but did not find what was asked
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;  // as shells report a Ctrl-C

// Called once by main before any command runs: from then on the library's
// own prints to standard output land on standard error, and Out() is the
// only way to the real standard output.
void SetUpOutput();
std::FILE *Out();

// text in the given SGR colour ("31" red, "32" green, "2" dim) when stream
// is a terminal and NO_COLOR is unset or empty; otherwise text as it is.
std::string Paint(std::FILE *stream, const char *colour, const std::string &text);
constexpr const char *kRed = "31";
constexpr const char *kGreen = "32";
constexpr const char *kDim = "2";

// Prints "zembrix-netcheck COMMAND: reason (try ...)" on standard error and
// returns kExitUsage.
int UsageError(const char *command, const std::string &reason);

// Ctrl-C: the first asks the running job to stop (the waits in HostSession
// see it), a second ends the process at once.
void InstallInterruptHandler();
bool Interrupted();

// Text for the terminal. As one whitespace-free field (list's columns):
// control bytes, spaces, non-ASCII bytes and the backslash itself are written
// as \xNN. Otherwise only control bytes are.
std::string Printable(const std::string &text, bool field = true);

// A JSON string literal. Control bytes and bytes above 127 are escaped as
// \u00XX (bytes above 127 thus read as Latin-1), so the document is plain
// ASCII whatever the library or a server handed over.
std::string JsonString(const std::string &text);

// One JSON object, members in the order added.
class JsonObject {
  public:
    JsonObject &Raw(const std::string &key, const std::string &json);
    JsonObject &String(const std::string &key, const std::string &text);
    JsonObject &Bool(const std::string &key, bool value);
    JsonObject &Number(const std::string &key, double value);
    std::string Text() const { return "{" + m_members + "}"; }

  private:
    std::string m_members;
};

std::string JsonArray(const std::vector<std::string> &items);
