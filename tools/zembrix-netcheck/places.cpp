#include "places.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/ToolAccess.h"
#include "output.h"

namespace {

namespace fs = std::filesystem;

std::string Reason() {
    return std::strerror(errno);
}

// A file made, written and removed again: the only sure
// test of writing there (permissions, a read-only mount, a full disk).
Problem DirectoryWriteProblem(const std::string &directory) {
    // Named by the time in nanoseconds: no other program's file is met.
    const std::string probe =
        directory + zn::kPathSeparator + ".zembrix-netcheck-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    std::FILE *file = std::fopen(probe.c_str(), "wb");
    if (!file)
        return {"directory-not-writable", "cannot write in " + directory + ": " + Reason()};
    const bool written = std::fputc('\n', file) != EOF && std::fflush(file) == 0;
    const std::string reason = Reason();
    const bool closed = std::fclose(file) == 0;
    std::remove(probe.c_str());
    if (!written || !closed)
        return {"directory-not-writable",
                "cannot write in " + directory + ": " + (written ? Reason() : reason)};
    return {};
}

}  // namespace

fs::path NativePath(const std::string &path) {
#ifdef _WIN32
    const size_t characters = std::mbstowcs(nullptr, path.c_str(), 0);
    if (characters == static_cast<size_t>(-1))
        return fs::path(path);
    std::wstring wide(characters + 1, L'\0');
    std::mbstowcs(&wide[0], path.c_str(), wide.size());
    wide.resize(characters);
    return fs::path(wide);
#else
    return fs::path(path);
#endif
}

Problem PlaceProblem(const std::string &directory, Use use) {
    std::error_code error;
    const fs::file_status place = fs::status(NativePath(directory), error);
    if (!fs::exists(place))
        return {"no-directory",
                directory + ": no such directory" + (error ? " (" + error.message() + ")" : "")};
    if (!fs::is_directory(place))
        return {"not-a-directory", directory + " is not a directory"};
    const std::string path = zn::ServerListPath(directory);
    const fs::file_status file = fs::status(NativePath(path), error);
    if (fs::is_directory(file))
        return {"file-is-a-directory", path + " is a directory, not the server list file"};
    const bool present = fs::exists(file);
    if (!present && use == Use::kRead)
        return {"no-file", "cannot find " + path + " (zembrix-netcheck init writes it)"};
    if (present) {
        // "r+" opens for writing without changing a byte.
        std::FILE *opened = std::fopen(path.c_str(), use == Use::kWrite ? "r+b" : "rb");
        if (!opened && use == Use::kWrite)
            return {"file-not-writable", "cannot write " + path + ": " + Reason()};
        if (!opened)
            return {"file-unreadable", "cannot read " + path + ": " + Reason()};
        std::fclose(opened);
    }
    return use == Use::kWrite ? DirectoryWriteProblem(directory) : Problem();
}

bool ReportPlaceProblem(const char *command, const std::string &directory, Use use) {
    const Problem problem = PlaceProblem(directory, use);
    if (problem.Found())
        std::fprintf(stderr, "zembrix-netcheck %s: %s\n", command,
                     Printable(problem.text, Shown::kLine).c_str());
    return problem.Found();
}
