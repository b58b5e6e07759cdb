// The certificate store in OpenSSL's own terms, for the transport's
// handshakes: the client certificate to present and the extra authorities.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace zn {

struct X509Deleter {
    void operator()(X509 *p) const { X509_free(p); }
};
struct KeyDeleter {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyDeleter>;

// The first certificate and the first private key of a PEM text, each or
// both null when missing.
void ParsePem(const std::string &pem, X509Ptr *cert, KeyPtr *key);

// Adds the certificates of every *.pem file of directory to store; a file
// without certificates adds none.
void AddAuthoritiesOf(const std::string &directory, X509_STORE *store);

}  // namespace zn
