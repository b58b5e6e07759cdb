// Whether the directory a command names, and its server list file, can be
// used as the command needs, before and after the library touches them: the
// library's file writes fail silently, the tool must not.
#pragma once

#include <filesystem>
#include <string>

// A path the tool holds as the library takes it (on Windows in the ANSI
// code page, which std::filesystem does not read narrow strings in).
std::filesystem::path NativePath(const std::string &path);

enum class Use {
    kRead,   // the file must exist and be readable
    kWrite,  // the directory (and the file, when it exists) must be writable
};

// Why directory, or the server list file in it, cannot be used so: an id
// ("no-directory", "not-a-directory", "file-is-a-directory", "no-file",
// "file-unreadable", "file-not-writable", "directory-not-writable") and one
// line with the path and the system's reason. Empty when nothing stands in
// the way.
struct Problem {
    std::string id, text;
    bool Found() const { return !id.empty(); }
};
Problem PlaceProblem(const std::string &directory, Use use);

// The same, printed as "zembrix-netcheck COMMAND: reason" on standard error;
// true when there was a problem.
bool ReportPlaceProblem(const char *command, const std::string &directory, Use use);
