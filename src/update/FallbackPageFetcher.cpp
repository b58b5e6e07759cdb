#include "update/FallbackPageFetcher.h"

#include "http/HttpText.h"
#include "report/Observer.h"
#include "store/ServerList.h"
#include "update/FallbackPage.h"

namespace zn {

void CFallbackPageFetcher::Fetch() {
    m_profile.m_strFileName = ServerListPath(m_strDirectory);
    m_cipher.DeriveKey();
    // The rotation advances before the page is read, whether that works or
    // not.
    std::string address;
    const int pageIndex = ChooseFallbackPage(m_profile, m_cipher, &address);
    // After a stop the job discards the answer anyway: no need to ask.
    const StepClock clock;
    long status = 0;
    const std::string page =
        Stopping() ? std::string()
                   : GetHttpText(address, nullptr, nullptr, nullptr, &m_abort, &status);
    int servers = 0;
    m_strResponse = RewriteFallbackPage(
        page, pageIndex, m_cipher, [this] { return Stopping(); }, &servers);
    m_bSucceeded = 1;
    if (Observing()) {
        // A failed read gives its step's message as the page's text.
        Observation seen(Step::Page, std::string(), "page", address);
        seen.status = status;
        seen.count = servers;
        if (status == 0 && page.compare(0, 13, "GetHttpText::") == 0)
            seen.text = page;
        seen.ms = clock.Ms();
        Observe(seen);
    }
}

}  // namespace zn
