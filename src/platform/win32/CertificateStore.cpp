// The certificate stores as the current user's system stores of the same
// names.

#include "platform/CertificateStore.h"
#include "platform/win32/TlsCertificates.h"

#include <cstring>
#include <vector>

namespace zn {

PCCERT_CONTEXT StoredClientCertificate(const std::string &pem) {
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
        return nullptr;
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr))
        return nullptr;
    PCCERT_CONTEXT given = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
    if (!given)
        return nullptr;
    PCCERT_CONTEXT stored = nullptr;
    if (HCERTSTORE store = CertOpenSystemStoreA(0, "MY")) {
        stored = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, given,
                                            nullptr);
        CertCloseStore(store, 0);
    }
    CertFreeCertificateContext(given);
    return stored;
}

namespace {

// The store a directory of the other builds stands for: its last name.
std::string StoreNameOf(const std::string &directory) {
    std::string trimmed = directory;
    while (!trimmed.empty() && (trimmed.back() == '\\' || trimmed.back() == '/'))
        trimmed.pop_back();
    const size_t slash = trimmed.find_last_of("\\/");
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// Whether any organizational unit of the issuer's name is exactly unit
// (compared as UTF-8, case-sensitively).
bool IssuerCarriesUnit(PCCERT_CONTEXT certificate, const std::string &unit) {
    CERT_NAME_INFO *name = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(
            X509_ASN_ENCODING, X509_UNICODE_NAME, certificate->pCertInfo->Issuer.pbData,
            certificate->pCertInfo->Issuer.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &name, &size))
        return false;
    bool carries = false;
    for (DWORD r = 0; r < name->cRDN && !carries; ++r) {
        const CERT_RDN &rdn = name->rgRDN[r];
        for (DWORD a = 0; a < rdn.cRDNAttr && !carries; ++a) {
            const CERT_RDN_ATTR &attribute = rdn.rgRDNAttr[a];
            if (std::strcmp(attribute.pszObjId, szOID_ORGANIZATIONAL_UNIT_NAME) != 0)
                continue;
            const wchar_t *text = reinterpret_cast<const wchar_t *>(attribute.Value.pbData);
            const int chars = static_cast<int>(attribute.Value.cbData / sizeof(wchar_t));
            char utf8[1024];
            const int length = chars == 0 ? 0
                                          : WideCharToMultiByte(CP_UTF8, 0, text, chars, utf8,
                                                                sizeof utf8, nullptr, nullptr);
            carries = (length > 0 || chars == 0) && static_cast<size_t>(length) == unit.size() &&
                      std::memcmp(utf8, unit.data(), unit.size()) == 0;
        }
    }
    LocalFree(name);
    return carries;
}

bool HasPrivateKey(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    return CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                             &size) != 0;
}

std::string PemOf(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CryptBinaryToStringA(certificate->pbCertEncoded, certificate->cbCertEncoded,
                              CRYPT_STRING_BASE64HEADER, nullptr, &size))
        return std::string();
    std::string pem(size, '\0');
    if (!CryptBinaryToStringA(certificate->pbCertEncoded, certificate->cbCertEncoded,
                              CRYPT_STRING_BASE64HEADER, &pem[0], &size))
        return std::string();
    pem.resize(size);
    return pem;
}

}  // namespace

bool FindCertificateByIssuerUnit(const std::string &directory, const std::string &unit,
                                 StoredCertificate *found) {
    std::string storeName;
    try {
        storeName = StoreNameOf(directory);
    } catch (...) {
        return false;
    }
    HCERTSTORE store = CertOpenSystemStoreA(0, storeName.c_str());
    if (!store)
        return false;
    // Every certificate, its issuer's units compared here: matching the
    // attribute in the store (CERT_FIND_ISSUER_ATTR) depends on the string
    // type the name was encoded with, and ignores case on request only.
    bool ok = false;
    PCCERT_CONTEXT certificate = nullptr;
    while (!ok &&
           (certificate = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY,
                                                     nullptr, certificate)) != nullptr) {
        if (!IssuerCarriesUnit(certificate, unit) || !HasPrivateKey(certificate))
            continue;
        try {
            std::string pem = PemOf(certificate);
            if (!pem.empty()) {
                found->path = storeName;
                found->pem = std::move(pem);
                ok = true;
            }
        } catch (...) {
            // Out of memory: no certificate.
            break;
        }
    }
    if (certificate)
        CertFreeCertificateContext(certificate);
    CertCloseStore(store, 0);
    return ok;
}

}  // namespace zn
