// A fallback page, any text, rewritten into the grammar of the web API's
// answer: input is  page index \n page. The web count reaches the answer
// unchanged.

#include "FuzzCheck.h"
#include "http/TagParser.h"
#include "update/FallbackPage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const int pageIndex = std::atoi(znfuzz::NextField(data, size).c_str());
    const std::string page = znfuzz::Rest(data, size);
    const std::string answer = zn::RewriteFallbackPage(page, pageIndex, znfuzz::Cipher());

    // The web count opens the answer; later ones may follow values that
    // the page, which gives the whole list anyway, filled with tags.
    const std::string seen = zn::PageIsUnescaped(pageIndex) ? zn::UnescapeTags(page) : page;
    zn::CTagParser tags;
    const std::string count = tags.GetTagValue(seen, "webnum");
    if (count.find('<') == std::string::npos)
        FUZZ_CHECK(tags.GetTagValue(answer, "webservernum") == count);
    return 0;
}
