// Subcommands of zembrix-netcheck. Each takes the arguments after its name
// (main has already answered --help) and returns the process exit status
// (output.h).
#pragma once

#include <string>
#include <vector>

// Options a command accepts, besides its plain arguments.
enum OptionBits : unsigned {
    kDirOption = 1,      // --dir DIR
    kJsonOption = 2,     // --json
    kVersionOption = 4,  // --version TEXT (the version text an update sends)
    kUpdateOption = 8,   // --update (doctor: an update run after the check)
};

struct CommandOptions {
    std::string directory = ".";
    bool json = false;
    std::string version;
    bool update = false;
};

// Parses the accepted options out of a command's arguments; the others stay
// in order in rest. A word beginning with "-" is an option, never a value
// nor a plain argument, unless it follows "--". False (after printing the
// one-line reason) on an unknown or incomplete option or more than maxRest
// plain arguments.
bool ParseArguments(const char *command, unsigned accepted, int argc, char **argv, size_t maxRest,
                    CommandOptions *options, std::vector<std::string> *rest);

int CmdInit(int argc, char **argv);

// The server list file and its address cipher (store_commands.cpp).
int CmdList(int argc, char **argv);
int CmdEncipher(int argc, char **argv);
int CmdDecipher(int argc, char **argv);

// The library's jobs and settings (job_commands.cpp).
int CmdCheck(int argc, char **argv);
int CmdInfo(int argc, char **argv);
int CmdProxy(int argc, char **argv);
int CmdUpdate(int argc, char **argv);  // update_command.cpp

// One URL read through CAsyncSSLConnection (fetch_command.cpp).
int CmdFetch(int argc, char **argv);

// A check (and an update) watched step by step, then why it went as it did
// (doctor_command.cpp).
int CmdDoctor(int argc, char **argv);
