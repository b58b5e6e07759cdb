// The TLS side of a libcurl transfer: the authorities its handshake trusts,
// the client certificate it presents, and the server certificate's checks
// as the request relaxes them.

#include "platform/posix/CurlTransfer.h"
#include "platform/posix/OpenSslErrors.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <mutex>

namespace zn {

// The system's authorities, read once per process from the file libcurl
// would otherwise parse again for every handshake (on a local server that
// parse took longer than the rest of the request). Null when they cannot be
// read: libcurl then reads them itself. Never freed: a transfer may still
// run while the process exits.
X509_STORE *SystemAuthorities() {
    static std::once_flag once;
    static X509_STORE *authorities = nullptr;
    std::call_once(once, [] {
        ErrorQueueMark mark;
        CURL *probe = curl_easy_init();
        if (!probe)
            return;
        char *path = nullptr;
        if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &path) == CURLE_OK && path) {
            X509_STORE *loaded = X509_STORE_new();
            if (loaded && X509_STORE_load_file(loaded, path) == 1)
                authorities = loaded;
            else
                X509_STORE_free(loaded);
        }
        curl_easy_cleanup(probe);
    });
    return authorities;
}

namespace {

int TransferIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// A store of this handshake's own holding the system's authorities; it is
// changed afterwards (extra authorities), so the shared one is copied.
bool UseSystemAuthorities(SSL_CTX *ctx) {
    X509_STORE *store = X509_STORE_new();
    if (!store)
        return false;
    STACK_OF(X509_OBJECT) *objects = X509_STORE_get0_objects(SystemAuthorities());
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
        if (X509 *certificate = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i)))
            X509_STORE_add_cert(store, certificate);
    }
    SSL_CTX_set_cert_store(ctx, store);
    return true;
}

Transfer *TransferOf(const SSL *ssl) {
    return ssl ? static_cast<Transfer *>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), TransferIndex()))
               : nullptr;
}

// Asks the sender what it would send after this attempt ended as outcome;
// its checks and certificate stand from here on. False when it would send
// nothing more.
bool AdoptNextAttempt(Transfer *transfer, HttpOutcome outcome, uint32_t code) {
    HttpRequestOptions &options = *transfer->options;
    if (!options.nextAttempt)
        return false;
    HttpResult ended;
    SetOutcome(&ended, outcome, code);
    const HttpRequestOptions *next = options.nextAttempt(ended);
    if (!next)
        return false;
    try {
        options.clientCertificatePem = next->clientCertificatePem;
    } catch (...) {
        // Nothing may leave OpenSSL's callback; the transfer fails instead.
        transfer->outOfMemory = true;
        return false;
    }
    options.verifyPeer = next->verifyPeer;
    options.verifyHostName = next->verifyHostName;
    options.checkDates = next->checkDates;
    return true;
}

// Called when the server asks for a certificate and none is attached: the
// sender's next attempt says which to present. Without one the request
// counts as "certificate requested", as it would on the Windows build, and
// the handshake ends here (a lookup that never completes fails it), so the
// request never goes out without the certificate the caller attaches.
int OnCertificateRequest(SSL *ssl, X509 **certificate, EVP_PKEY **key) {
    Transfer *transfer = TransferOf(ssl);
    if (!transfer)
        return 0;
    if (AdoptNextAttempt(transfer, HttpOutcome::CertificateRequested, kHttpErrorClientCertNeeded) &&
        !transfer->options->clientCertificatePem.empty()) {
        X509Ptr presented;
        KeyPtr presentedKey;
        ParsePem(transfer->options->clientCertificatePem, &presented, &presentedKey);
        if (!presented || !presentedKey) {
            transfer->unusableCertificate = true;
            return -1;
        }
        // OpenSSL frees both once they are in use.
        *certificate = presented.release();
        *key = presentedKey.release();
        return 1;
    }
    transfer->certificateRequested = true;
    return -1;
}

// Whether a failure of the server's chain is one the request relaxes: an
// unknown authority (verifyPeer off) or dates (checkDates off), each alone,
// as the Windows build's security flags do. Turning peer verification off
// instead would let every other failure pass too.
bool IsRelaxed(int error, const HttpRequestOptions &options) {
    switch (error) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
            return !options.verifyPeer;
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return !options.checkDates;
        default:
            return false;
    }
}

int OnVerify(int ok, X509_STORE_CTX *store) {
    if (ok)
        return 1;
    Transfer *transfer = TransferOf(static_cast<const SSL *>(
        X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx())));
    if (!transfer)
        return 0;
    const int error = X509_STORE_CTX_get_error(store);
    // A failure other than dates would end the attempt as an untrusted
    // authority: the sender's next attempt may relax it.
    if (IsRelaxed(error, *transfer->options) ||
        (!IsDateFailure(error) &&
         AdoptNextAttempt(transfer, HttpOutcome::UntrustedAuthority, kHttpErrorInvalidCa) &&
         IsRelaxed(error, *transfer->options))) {
        // Cleared, or it would stand as the handshake's verification result.
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    if (!transfer->verifyError)
        transfer->verifyError = error;
    return 0;
}

}  // namespace

// libcurl calls this for a TLS proxy's handshake as well, and gives no sign
// of which handshake it is for: what keeps the certificate and the relaxed
// checks to the server is that libcurl is never given a proxy but one we
// built in plain HTTP (Configure), so the only handshake is the server's.
CURLcode OnSslContext(CURL *, void *sslContext, void *data) {
    auto *ctx = static_cast<SSL_CTX *>(sslContext);
    auto *transfer = static_cast<Transfer *>(data);
    const HttpRequestOptions &options = *transfer->options;
    // The connection stands; a silent handshake counts as a silent peer.
    transfer->connected = true;
    transfer->lastActivity = Clock::now();
    ErrorQueueMark mark;
    if (transfer->cachedAuthorities && !UseSystemAuthorities(ctx))
        return CURLE_OUT_OF_MEMORY;
    if (!options.extraAuthoritiesDirectory.empty())
        AddAuthoritiesOf(options.extraAuthoritiesDirectory, SSL_CTX_get_cert_store(ctx));
    if (TransferIndex() < 0 || SSL_CTX_set_ex_data(ctx, TransferIndex(), transfer) != 1)
        return CURLE_OUT_OF_MEMORY;
    SSL_CTX_set_verify(ctx, SSL_CTX_get_verify_mode(ctx), OnVerify);
    if (transfer->clientCert) {
        // With a certificate in the context, OpenSSL presents it when asked.
        if (SSL_CTX_use_certificate(ctx, transfer->clientCert.get()) != 1 ||
            SSL_CTX_use_PrivateKey(ctx, transfer->clientKey.get()) != 1)
            return CURLE_SSL_CERTPROBLEM;
    } else {
        SSL_CTX_set_client_cert_cb(ctx, OnCertificateRequest);
    }
    return CURLE_OK;
}

}  // namespace zn
