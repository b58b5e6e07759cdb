// HTTP transport figures, run inside scripts/netns-run:
//  (a)-(d) from Abort() to the end of the transfer, in a name look-up that
//      gets no answer, while it waits for a reply, in the TLS handshake and
//      in the handshake through the proxy's tunnel; target under 5 ms;
//  (e) one HTTPS request to a local nginx (new connection, handshake,
//      verification against the system's authorities and one of our own)
//      against the curl command's own timing of the same request; target
//      within 1.2 times;
//  (f) the same request against a bare libcurl request to the same URL in
//      this process, on a new easy handle (so a new connection) each time;
//      target within 1.1 times. The command's figure mostly measures its
//      own start-up.

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "platform/HttpTransport.h"
#include "support/HttpsPeers.h"
#include "support/Network.h"
#include "support/TempDir.h"

namespace {

using znbench::Median;
using znbench::Ms;
using Clock = znbench::Clock;

// Milliseconds from Abort() until Perform returned, when the transfer has
// been stuck for 50 ms.
double AbortLatency(const zn::HttpRequestOptions &options) {
    auto transport = zn::HttpTransport::Create();
    Clock::time_point ended;
    std::thread sender([&] {
        transport->Perform(options);
        ended = Clock::now();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto aborted = Clock::now();
    transport->Abort();
    sender.join();
    return Ms(ended - aborted);
}

size_t DiscardBody(char *, size_t size, size_t count, void *) {
    return size * count;
}

// Milliseconds of one bare libcurl request to url (the authorities of
// bundle trusted); negative when it failed.
double BareLibcurlMs(const std::string &url, const std::string &bundle) {
    const auto begin = Clock::now();
    CURL *easy = curl_easy_init();
    if (!easy)
        return -1;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_CAINFO, bundle.c_str());
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, DiscardBody);
    const bool ok = curl_easy_perform(easy) == CURLE_OK;
    curl_easy_cleanup(easy);
    return ok ? Ms(Clock::now() - begin) : -1;
}

// The system's authorities followed by ours, for the curl command.
std::string SystemBundleWith(const std::string &authority, const zntest::TempDir &dir) {
    const std::string bundle = dir.File("bundle.pem");
    zntest::WriteWholeFile(bundle, zntest::ReadWholeFile("/etc/ssl/certs/ca-certificates.crt") +
                                       zntest::ReadWholeFile(authority));
    return bundle;
}

}  // namespace

int main() {
    if (!znbench::InsidePrivateNamespace())
        return 2;
    zntest::TempDir dir;
    zntest::TestAuthority authority("Bench Authority", "Quenstead Corp.");
    zntest::TempDir roots;
    if (!authority.Issue("localhost", dir.File("server.pem")))
        return 1;
    zntest::WriteWholeFile(roots.File("bench.pem"),
                           zntest::ReadWholeFile(authority.CertificatePath()));
    zntest::NginxServer nginx(dir.File("server.pem"), authority.CertificatePath());
    zntest::TinyProxy proxy;
    zntest::TcpListener silent;
    zntest::SilentNameServer nameServer;
    if (!nginx.Started() || !proxy.Started() || !silent.IsOpen())
        return 1;

    zn::HttpRequestOptions base;
    base.host = zntest::kLoopback;
    base.port = static_cast<uint16_t>(silent.Port());
    base.proxyMode = zn::HttpProxyMode::Direct;
    const struct {
        const char *label;
        const char *host;
        bool secure;
        bool viaProxy;
    } phases[] = {
        {"(a) abort in a name look-up", "server.example", false, false},
        {"(b) abort while waiting for a reply", zntest::kLoopback, false, false},
        {"(c) abort in the TLS handshake", zntest::kLoopback, true, false},
        {"(d) abort in the handshake through the proxy", zntest::kLoopback, true, true},
    };
    constexpr int kRuns = 11;
    for (const auto &phase : phases) {
        zn::HttpRequestOptions options = base;
        options.host = phase.host;
        options.secure = phase.secure;
        if (phase.viaProxy) {
            options.proxyMode = zn::HttpProxyMode::Explicit;
            options.proxy = proxy.Address();
        }
        std::vector<double> ms;
        for (int run = 0; run < kRuns; ++run)
            ms.push_back(AbortLatency(options));
        znbench::PrintFigure(phase.label, Median(ms), "ms", "median of " + std::to_string(kRuns),
                             "<", 5);
    }

    zn::HttpRequestOptions request = base;
    request.port = static_cast<uint16_t>(nginx.PlainTlsPort());
    request.path = "/webapi/zembrix.php?op=getlist";
    request.host = "localhost";
    request.extraAuthoritiesDirectory = roots.Path();
    const std::string url = "https://localhost:" + std::to_string(request.port) + request.path;
    const std::string bundle = SystemBundleWith(authority.CertificatePath(), dir);
    std::vector<double> ours, theirs, bare;
    for (int run = 0; run < kRuns; ++run) {
        const auto begin = Clock::now();
        auto transport = zn::HttpTransport::Create();
        const zn::HttpResult result = transport->Perform(request);
        ours.push_back(Ms(Clock::now() - begin));
        if (result.outcome != zn::HttpOutcome::Sent || result.body != zntest::kNginxBody) {
            std::fprintf(stderr, "request failed: code %u\n", result.errorCode);
            return 1;
        }
        theirs.push_back(znbench::CurlCommandMs("--cacert '" + bundle + "'", url));
        // The same trust as the library's: the system's authorities and ours.
        bare.push_back(BareLibcurlMs(url, bundle));
        if (theirs.back() < 0 || bare.back() < 0) {
            std::fprintf(stderr, "the curl command or the bare libcurl request failed\n");
            return 1;
        }
    }
    znbench::PrintRatio("(e) HTTPS request to local nginx, library / curl command", ours, theirs,
                        1.2);
    znbench::PrintRatio("(f) HTTPS request to local nginx, library / bare libcurl", ours, bare,
                        1.1);
    return 0;
}
