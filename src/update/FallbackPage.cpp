#include "update/FallbackPage.h"

#include "http/TagParser.h"
#include "store/ProviderConfig.h"
#include "store/ServerList.h"
#include "update/ListExchange.h"

namespace zn {

namespace {

struct PageKind {
    const char *countTag;        // on the page: "webnum"
    const char *itemTag;         // "web" for "<web1>", on the page and in the answer
    const char *answerCountTag;  // in the answer: "webservernum"
};

// Fax servers have no tags on the pages.
const PageKind kPageKinds[] = {
    {"webnum", "web", "webservernum"},
    {"sipnum", "sip", "sipservernum"},
    {"imnum", "im", "imservernum"},
};

std::string FreeKey(int number) {
    return "FREE" + std::to_string(number);
}

// Sets every entry that has a comma back to "0" for the next cycle.
void RestartCycle(CProfileFile &profile, int count) {
    for (int m = 1; m <= count; ++m) {
        const std::string entry = profile.GetValue(kNetworkSection, FreeKey(m), kMissing);
        const size_t comma = entry.rfind(',');
        if (comma != std::string::npos)
            profile.SetValue(kNetworkSection, FreeKey(m), entry.substr(0, comma) + ",0");
    }
}

void ReplaceAll(std::string *text, const std::string &from, const std::string &to) {
    size_t at = 0;
    while ((at = text->find(from, at)) != std::string::npos) {
        text->replace(at, from.size(), to);
        at += to.size();
    }
}

std::string Tagged(const std::string &tag, const std::string &value) {
    return "<" + tag + ">" + value + "</" + tag + ">";
}

}  // namespace

int ChooseFallbackPage(CProfileFile &profile, CAddressCipher &cipher, std::string *address) {
    address->clear();
    int count = ParseCount(profile.GetValue(kNetworkSection, "FREENUM", "5"));
    if (count > kMaxUpdateCount)
        count = kMaxUpdateCount;
    for (int m = 1; m <= count; ++m) {
        const std::string entry = profile.GetValue(kNetworkSection, FreeKey(m), kMissing);
        const size_t comma = entry.rfind(',');
        const bool usable =
            comma != std::string::npos && entry.compare(comma + 1, std::string::npos, "0") == 0;
        if (!usable) {
            if (m < count)
                continue;
            // No entry can be used. When the last one is a proper entry the
            // cycle starts again for the next run; this run reads the
            // built-in page either way.
            *address = kBuiltInFallbackPage;
            if (comma == std::string::npos)
                return count + 1;
            RestartCycle(profile, count);
            return count + 2;
        }
        const std::string hex = entry.substr(0, comma);
        *address = cipher.Decipher(hex);
        profile.SetValue(kNetworkSection, FreeKey(m), hex + ",-1");
        if (m < count)
            return m;
        RestartCycle(profile, count);
        return count + 1;
    }
    return 1;
}

std::string UnescapeTags(std::string text) {
    ReplaceAll(&text, "&lt;", "<");
    ReplaceAll(&text, "&gt;", ">");
    return text;
}

std::string RewriteFallbackPage(const std::string &fetched, int pageIndex, CAddressCipher &cipher) {
    const std::string page = PageIsUnescaped(pageIndex) ? UnescapeTags(fetched) : fetched;
    CTagParser tags;
    std::string answer = "\r\n";
    for (const PageKind &kind : kPageKinds) {
        // The count goes out as the page has it; the parser reads it again.
        const std::string countText = tags.GetTagValue(page, kind.countTag);
        answer += Tagged(kind.answerCountTag, countText);
        const int count = ReadEntryCount(countText);
        for (int i = 1; i <= count; ++i) {
            const std::string tag = kind.itemTag + std::to_string(i);
            answer += Tagged(tag, cipher.Decipher(tags.GetTagValue(page, tag))) + "\r\n";
        }
    }
    return answer;
}

}  // namespace zn
