// Subcommands of zembrix-netcheck. Each takes the arguments after its name
// and returns the process exit status.
#pragma once

#include <string>
#include <vector>

struct CommandOptions {
    std::string directory = ".";
};

// Parses "--dir DIR" out of a command's arguments; the others stay in order
// in rest. False (after saying why) on a malformed option or more than
// maxRest other arguments.
bool ParseArguments(const char *command, int argc, char **argv, size_t maxRest,
                    CommandOptions *options, std::vector<std::string> *rest);

int CmdInit(int argc, char **argv);

// The server list file and its address cipher (store_commands.cpp).
int CmdList(int argc, char **argv);
int CmdEncipher(int argc, char **argv);
int CmdDecipher(int argc, char **argv);
int CmdCheck(int argc, char **argv);
int CmdInfo(int argc, char **argv);
int CmdProxy(int argc, char **argv);
int CmdUpdate(int argc, char **argv);  // update_command.cpp

// One URL read through CAsyncSSLConnection (fetch_command.cpp).
int CmdFetch(int argc, char **argv);
