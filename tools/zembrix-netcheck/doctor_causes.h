// Why a doctor's run went as it did: the causes, each with an id and
// advice, from what the directory holds and what the library reported.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "api/ToolAccess.h"

struct Cause {
    std::string id;
    std::string text;
};

// What keeps a check from using directory and its server list file, found
// before any network is used; an empty id when nothing does.
Cause PlaceCause(const std::string &directory);

struct RunFacts {
    std::string directory;
    bool updated = false;    // an update ran after the check
    bool cancelled = false;  // by Ctrl-C: a source's stop is then no time-out
};

// The causes, each named once. Only what the steps (and the file) show.
std::vector<Cause> Diagnose(const std::vector<zn::Observation> &steps, const RunFacts &facts);

// The transport's error codes in words, and a page's failure text, which
// ends in one ("GetHttpText::HttpSendRequest Error 12007"): no internal
// names reach a person.
std::string CodeWords(uint32_t code);
std::string PageFailure(const std::string &text);

// Whether the steps hold an answer of the web API or a page that was read:
// only then does what the merge read from it mean anything.
bool AnswerCame(const std::vector<zn::Observation> &steps);
