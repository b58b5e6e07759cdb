// Runs a program (the command-line tool, python3) as a child process with
// its standard input, output and error on pipes, and can send it SIGINT
// once its standard error shows a given text, as a user's Ctrl-C would.
#pragma once

#include <string>
#include <vector>

namespace zntest {

struct ToolRunOptions {
    std::string input;              // written to the program's standard input
    std::string interruptWhen;      // SIGINT once standard error holds this text
    unsigned timeoutSeconds = 120;  // then SIGKILL: the run counts as failed
};

struct ToolResult {
    int status = -1;  // exit status; -1 when killed, crashed or never started
    std::string out, err;
    bool interrupted = false;  // the SIGINT was sent
};

ToolResult RunTool(const std::vector<std::string> &argv, const ToolRunOptions &options = {});

}  // namespace zntest
