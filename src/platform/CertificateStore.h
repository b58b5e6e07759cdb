// The certificate stores a request draws on: the client certificate chosen
// for a server, and the authorities trusted besides the system's. On Linux a
// store is a directory of *.pem files; on Windows it is the current user's
// system store of the same name ("MY", "CA", "ROOT", "SPC").
#pragma once

#include <string>

namespace zn {

// Number of the "ROOT" store, whose certificates are also trusted as
// authorities besides the system's.
constexpr int kRootCertificateStore = 2;

// The directory of store `number` (0 "MY", 1 "CA", 2 "ROOT", 3 "SPC") below
// the library's directory; empty for any other number.
std::string CertificateStoreDirectory(const std::string &directory, int number);

// A certificate with its private key, as read from a store directory.
struct StoredCertificate {
    std::string path;
    std::string pem;
};

// The first *.pem file of directory, in file-name order, holding a
// certificate whose issuer name carries the organizational unit `unit`
// (exactly, case-sensitively) and the private key of that certificate.
// False when there is none. On Windows the directory's last name names the
// current user's system store ("MY", ...), searched in the store's order
// for such a certificate with a key; path is the store's name.
bool FindCertificateByIssuerUnit(const std::string &directory, const std::string &unit,
                                 StoredCertificate *found);

}  // namespace zn
