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

// How a text from outside the tool (the file, the network, the library, the
// command line) is shown to a person.
enum class Shown {
    kField,  // one whitespace-free column: also spaces, '\\' and non-ASCII escaped
    kLine,   // one line of text
    kLines,  // a text of lines: line feeds (CR LF too) and tabs kept
};

// Longest outside text shown to a person, and in a JSON document, before it
// is cut: a server's answer may be megabytes.
constexpr size_t kShownBytes = 4096;
constexpr size_t kJsonTextBytes = 64 * 1024;

// The one way an outside text reaches a person: control bytes (C0, DEL, and
// C1 as UTF-8 encodes it), invalid UTF-8 and what `as` adds are written as
// \xNN, one per byte; a text over limit bytes is cut there, at a character's
// end, with the whole size appended as " [... N bytes]".
std::string Printable(const std::string &text, Shown as = Shown::kField,
                      size_t limit = kShownBytes);

// A JSON string literal, plain ASCII: UTF-8 characters as \uXXXX, control
// characters escaped, each byte of invalid UTF-8 as the Latin-1 character
// \u00XX. A text over kJsonTextBytes is cut as Printable cuts it.
std::string JsonString(const std::string &text);

// A proxy setting, [http://][user:password@]host[:port], as the tool shows
// it: the password as "***". Output users are asked to send to support.
std::string WithoutPassword(const std::string &proxy);

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
