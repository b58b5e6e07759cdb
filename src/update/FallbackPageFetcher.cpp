#include "update/FallbackPageFetcher.h"

#include "http/HttpText.h"
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
    const std::string page =
        Stopping() ? std::string() : GetHttpText(address, nullptr, nullptr, nullptr, &m_abort);
    m_strResponse = RewriteFallbackPage(page, pageIndex, m_cipher, [this] { return Stopping(); });
    m_bSucceeded = 1;
}

}  // namespace zn
