// Real HTTPS peers for tests, made per run inside scripts/netns-run:
//
// TestAuthority  an authority made with the openssl command, whose own name
//                carries a chosen organizational unit (or none); it issues
//                certificates, each written with its key into one PEM file,
//                as the library's certificate stores hold them.
// NginxServer    a private nginx (no daemon, no master process, config and
//                logs in a temporary directory) serving HTTPS on three free
//                loopback ports: client certificate required, optional, and
//                not asked for. Every path answers 200 with kNginxBody.
//                Only "/redirect?to=URL" answers 302 to URL instead.
//                Killed when the object goes.
// NginxSite     a private nginx serving the files of its Root() over plain
//                HTTP and HTTPS, each under its own name and again under
//                "/chunked/" without a Content-Length (chunked); the access
//                log records path, X-Zembrix-Test header and user agent of
//                every request.
// SilentNameServer  takes the namespace's name server address (UDP
//                127.0.0.1:53) and never answers: a name look-up hangs until
//                the resolver's own time limit.
// NginxWebApi   a private nginx for the provider's web API: HTTPS (HTTP/2
//                offered too) with a client certificate required, answering
//                every request with the text last given to SetAnswer
//                (absolute redirects off). Its open port serves
//                anyone; its guarded port only connections from one source
//                address (a proxy's outgoing one) and refuses the rest with
//                403. Both listen on loopback and on a local address of the
//                namespace. The access log records source, request line,
//                user agent, client certificate issuer and status.
// TinyProxy      a private tinyproxy on a free loopback port that tunnels
//                CONNECT to any port, optionally from a given source
//                address. Killed when the object goes.
//
// Each fails the running test (and reports not started) when its program
// is missing or does not come up.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace zntest {

constexpr const char *kNginxBody = "<RES>OK</RES><LIST>served by nginx</LIST>";

class TestAuthority {
  public:
    // unit empty: the authority's name has no organizational unit.
    TestAuthority(const std::string &commonName, const std::string &unit);
    const std::string &CertificatePath() const { return m_cert; }
    // Issues a certificate for commonName and writes it, followed by its
    // private key, to pemPath. False (test failed) when openssl failed.
    bool Issue(const std::string &commonName, const std::string &pemPath,
               bool expired = false) const;  // expired: its dates ended yesterday

  private:
    TempDir m_dir;
    std::string m_cert;
    std::string m_key;
};

class NginxServer {
  public:
    // serverPem: certificate and key the server presents; clientAuthority:
    // the authority whose certificates it accepts from clients.
    // tls13: TLS 1.3 offered besides 1.2 (nginx's own default offers 1.2
    // at most).
    NginxServer(const std::string &serverPem, const std::string &clientAuthority,
                bool tls13 = false);
    bool Started() const { return m_started; }
    unsigned RequiredPort() const { return m_ports[0]; }
    unsigned OptionalPort() const { return m_ports[1]; }
    unsigned PlainTlsPort() const { return m_ports[2]; }

  private:
    TempDir m_dir;
    unsigned m_ports[3] = {0, 0, 0};
    std::unique_ptr<ChildProcess> m_process;
    bool m_started = false;
};

class NginxSite {
  public:
    // serverPem: certificate and key of the HTTPS port.
    explicit NginxSite(const std::string &serverPem);
    bool Started() const { return m_started; }
    // Where to put the files it serves (before or after the start).
    std::string Root() const { return m_dir.File("site"); }
    std::string HttpUrl(const std::string &path) const;
    std::string HttpsUrl(const std::string &path) const;
    // Waits (up to 10 s) for a log line that contains text: "path|header|agent".
    bool Logged(const std::string &text) const;

  private:
    TempDir m_dir;
    unsigned m_ports[2] = {0, 0};  // plain, TLS
    std::unique_ptr<ChildProcess> m_process;
    bool m_started = false;
};

class NginxWebApi {
  public:
    // upstream: "host:port" of a plain HTTP server that answers in place of
    // SetAnswer's text; empty for the text.
    // tls13: as NginxServer's.
    NginxWebApi(const std::string &serverPem, const std::string &clientAuthority,
                const std::string &address, const std::string &onlyFrom,
                const std::string &upstream = "", bool tls13 = false);
    bool Started() const { return m_started; }
    // "address:port" of each port, as the "WEB" key names a server.
    std::string OpenServer() const;
    std::string GuardedServer() const;
    void SetAnswer(const std::string &text);
    // The log lines "source|request line|agent|issuer|status", once at least
    // count are there (up to 10 s); fewer after that.
    std::vector<std::string> Requests(size_t count) const;

  private:
    TempDir m_dir;
    std::string m_address;
    unsigned m_ports[2] = {0, 0};  // open, guarded
    std::unique_ptr<ChildProcess> m_process;
    bool m_started = false;
};

class TinyProxy {
  public:
    // outgoingAddress: the source of its connections; empty: the system's
    // choice.
    explicit TinyProxy(const std::string &outgoingAddress = "");
    bool Started() const { return m_started; }
    unsigned Port() const { return m_port; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }

  private:
    TempDir m_dir;
    unsigned m_port = 0;
    std::unique_ptr<ChildProcess> m_process;
    bool m_started = false;
};

class SilentNameServer {
  public:
    SilentNameServer();
    ~SilentNameServer();
    SilentNameServer(const SilentNameServer &) = delete;
    SilentNameServer &operator=(const SilentNameServer &) = delete;

  private:
    int m_socket = -1;
};

// One nginx and one tinyproxy for a whole test program: the server's
// authority issues the server certificate; clients are accepted from an
// authority whose name carries "Quenstead Corp.".
struct SharedPeers {
    SharedPeers();
    bool Started() const { return nginx->Started() && proxy->Started(); }

    TempDir dir;
    TestAuthority serverAuthority{"Server Authority", ""};
    TestAuthority clientAuthority{"Client Authority", "Quenstead Corp."};
    std::unique_ptr<NginxServer> nginx;
    std::unique_ptr<TinyProxy> proxy;
};

// A loopback port nothing listens on at the moment of the call.
unsigned FreeLoopbackPort();

}  // namespace zntest
