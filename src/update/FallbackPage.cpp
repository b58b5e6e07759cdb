#include "update/FallbackPage.h"

#include "store/ProviderConfig.h"
#include "store/ServerList.h"
#include "update/ListExchange.h"

namespace zn {

namespace {

// Fax servers have no tags on the pages. An item tag ("web" for "<web1>")
// is the same on the page and in the answer.
const std::vector<ListTagNames> &PageTagNames() {
    static const auto *names =
        new std::vector<ListTagNames>{{"webnum", "web"}, {"sipnum", "sip"}, {"imnum", "im"}};
    return *names;
}
const char *const kAnswerCountTags[] = {"webservernum", "sipservernum", "imservernum"};

// Longest item that can be deciphered; a longer one stays as it is.
constexpr size_t kMaxDecipheredItem = kDecipherLimit - 1;

std::string FreeKey(int number) {
    return "FREE" + std::to_string(number);
}

// Sets every entry that has a comma back to "0" for the next cycle, in one
// save.
void RestartCycle(CProfileFile &profile, int count) {
    CProfileBatch file(profile, kNetworkSection);
    for (int m = 1; m <= count; ++m) {
        const std::string entry = file.GetValue(FreeKey(m), kMissing);
        const size_t comma = entry.rfind(',');
        if (comma != std::string::npos)
            file.SetValue(FreeKey(m), entry.substr(0, comma) + ",0");
    }
}

std::string Tagged(const std::string &tag, const std::string &value) {
    return "<" + tag + ">" + value + "</" + tag + ">";
}

}  // namespace

int ChooseFallbackPage(CProfileFile &profile, CAddressCipher &cipher, std::string *address) {
    address->clear();
    const int count = ReadUpdateCount(profile, "FREE");
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

std::string UnescapeTags(const std::string &text) {
    // One pass: neither "<" nor ">" can be part of an "&lt;" or "&gt;", so
    // no replacement makes a new one, and each is replaced where it stands.
    std::string result;
    result.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t amp = text.find('&', at);
        result.append(text, at, amp == std::string::npos ? std::string::npos : amp - at);
        if (amp == std::string::npos)
            break;
        if (text.compare(amp, 4, "&lt;") == 0 || text.compare(amp, 4, "&gt;") == 0) {
            result += text[amp + 1] == 'l' ? '<' : '>';
            at = amp + 4;
        } else {
            result += '&';
            at = amp + 1;
        }
    }
    return result;
}

std::string RewriteFallbackPage(const std::string &fetched, int pageIndex, CAddressCipher &cipher,
                                const std::function<bool()> &stopping, int *servers) {
    if (servers)
        *servers = 0;
    const std::string page = PageIsUnescaped(pageIndex) ? UnescapeTags(fetched) : fetched;
    const CListTags tags(page, PageTagNames(), stopping);
    std::string answer = "\r\n";
    for (size_t k = 0; k < PageTagNames().size(); ++k) {
        // The count goes out as the page has it; the parser reads it again.
        const std::string countText = tags.Count(k);
        answer += Tagged(kAnswerCountTags[k], countText);
        const int count = ReadAnnouncedCount(countText);
        if (servers)
            *servers += count;
        for (int i = 1; i <= count; ++i) {
            if (stopping && stopping())
                return answer;
            // An item too long to decipher goes out cut short: still too
            // long to store, the parser drops it as it would the whole.
            const std::string item = tags.ItemLength(k, i) > kMaxDecipheredItem
                                         ? tags.Item(k, i, kMaxDecipheredItem + 1)
                                         : cipher.Decipher(tags.Item(k, i));
            answer += Tagged(PageTagNames()[k].itemTag + std::to_string(i), item) + "\r\n";
        }
    }
    return answer;
}

}  // namespace zn
