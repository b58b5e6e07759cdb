// The last source of an update run: the next fallback page of the FREE
// rotation, rewritten into the web API's answer. Succeeds whenever it has
// run: a page that could not be read gives empty lists.
#pragma once

#include "http/TagParser.h"
#include "store/AddressCipher.h"
#include "store/ProfileFile.h"
#include "update/UpdateFetcher.h"

namespace zn {

class CFallbackPageFetcher : public CUpdateFetcher {
  public:
    ~CFallbackPageFetcher() override { Join(); }

    CTagParser m_tagParser;
    CProfileFile m_profile;
    CAddressCipher m_cipher;

  protected:
    void Fetch() override;
};

}  // namespace zn
