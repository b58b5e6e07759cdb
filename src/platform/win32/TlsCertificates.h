// The certificate store in the system's own terms, for the transport's
// handshakes: the client certificate to present.
#pragma once

// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <wincrypt.h>

#include <string>

namespace zn {

// The certificate of a PEM text as it stands in the "MY" store of the
// current user, where its private key is; null when it is not there. The
// caller frees it.
PCCERT_CONTEXT StoredClientCertificate(const std::string &pem);

}  // namespace zn
