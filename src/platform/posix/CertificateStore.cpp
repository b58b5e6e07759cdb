// The certificate stores as directories of *.pem files, each file one
// certificate with its private key (or, for authorities, certificates only).

#include "platform/CertificateStore.h"
#include "platform/posix/OpenSslErrors.h"
#include "platform/posix/TlsCertificates.h"

#include <dirent.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace zn {

namespace {

// Certificate files are small; anything larger is not one of ours.
constexpr off_t kMaxCertificateFileBytes = 1024 * 1024;

// Regular *.pem files of directory, in file-name order.
std::vector<std::string> ListPemFiles(const std::string &directory) {
    std::vector<std::string> names;
    DIR *dir = opendir(directory.c_str());
    if (!dir)
        return names;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pem") == 0)
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    std::vector<std::string> paths;
    for (const std::string &name : names) {
        const std::string path = directory + "/" + name;
        struct stat info;
        if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            info.st_size <= kMaxCertificateFileBytes)
            paths.push_back(path);
    }
    return paths;
}

bool ReadSmallFile(const std::string &path, std::string *text) {
    FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    text->clear();
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0 &&
           text->size() <= static_cast<size_t>(kMaxCertificateFileBytes))
        text->append(buffer, n);
    const bool ok =
        !std::ferror(file) && text->size() <= static_cast<size_t>(kMaxCertificateFileBytes);
    std::fclose(file);
    return ok;
}

bool IssuerCarriesUnit(X509 *cert, const std::string &unit) {
    const X509_NAME *issuer = X509_get_issuer_name(cert);
    for (int i = X509_NAME_get_index_by_NID(issuer, NID_organizationalUnitName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(issuer, NID_organizationalUnitName, i)) {
        unsigned char *utf8 = nullptr;
        const int length =
            ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(issuer, i)));
        const bool equal = length >= 0 && static_cast<size_t>(length) == unit.size() &&
                           std::memcmp(utf8, unit.data(), unit.size()) == 0;
        OPENSSL_free(utf8);
        if (equal)
            return true;
    }
    return false;
}

}  // namespace

// The first certificate and the first private key of a PEM text, each or
// both null when missing.
void ParsePem(const std::string &pem, X509Ptr *cert, KeyPtr *key) {
    ErrorQueueMark mark;
    if (BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()))) {
        cert->reset(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
        BIO_free(bio);
    }
    // Read again from the start: the key may stand before the certificate.
    if (BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()))) {
        // An empty pass phrase: an encrypted key is skipped, never prompted for.
        key->reset(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, const_cast<char *>("")));
        BIO_free(bio);
    }
}

void AddAuthoritiesOf(const std::string &directory, X509_STORE *store) {
    ErrorQueueMark mark;
    for (const std::string &path : ListPemFiles(directory))
        X509_STORE_load_file(store, path.c_str());  // a file without certificates adds none
}

bool FindCertificateByIssuerUnit(const std::string &directory, const std::string &unit,
                                 StoredCertificate *found) {
    try {
        for (const std::string &path : ListPemFiles(directory)) {
            std::string pem;
            if (!ReadSmallFile(path, &pem))
                continue;
            X509Ptr cert;
            KeyPtr key;
            ParsePem(pem, &cert, &key);
            ErrorQueueMark mark;
            if (cert && key && IssuerCarriesUnit(cert.get(), unit) &&
                X509_check_private_key(cert.get(), key.get()) == 1) {
                found->path = path;
                found->pem = std::move(pem);
                return true;
            }
        }
    } catch (...) {
        // Out of memory while reading the store: no certificate.
    }
    return false;
}

}  // namespace zn
