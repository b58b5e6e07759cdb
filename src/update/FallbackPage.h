// The fallback pages: public web pages that carry the server lists in tags
// of their own, with enciphered addresses. The file's FREE entries name them
// and are used in turn, one per run.
#pragma once

#include <functional>
#include <string>

#include "store/AddressCipher.h"
#include "store/ProfileFile.h"

namespace zn {

// Chooses this run's page from the FREE entries and advances the rotation
// in the file: the first entry with status "0" is used and marked "-1";
// using the last entry (or finding none usable while the last one has a
// comma) sets every entry back to "0". *address gets the page's URL (the
// built-in page when no entry can be used; empty when FREENUM is below 1).
// Returns the page index, which decides whether the page is un-escaped.
int ChooseFallbackPage(CProfileFile &profile, CAddressCipher &cipher, std::string *address);

// Replaces every "&lt;" with "<", then every "&gt;" with ">".
std::string UnescapeTags(const std::string &text);

// Whether a page of this index is un-escaped before its tags are read.
inline bool PageIsUnescaped(int pageIndex) {
    return pageIndex < 3;
}

// The page's web, SIP and IM lists in the grammar of the web API's answer,
// with the addresses deciphered. stopping, when given, is asked while the
// page is read and before every item: once it answers true the answer is
// cut short (the run that stops discards it). servers, when given, gets the
// number of servers the page lists.
std::string RewriteFallbackPage(const std::string &page, int pageIndex, CAddressCipher &cipher,
                                const std::function<bool()> &stopping = nullptr,
                                int *servers = nullptr);

}  // namespace zn
