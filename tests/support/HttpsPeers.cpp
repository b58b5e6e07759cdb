#include "support/HttpsPeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace zntest {

namespace {

std::string Quoted(const std::string &text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool Run(const std::string &command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    if (status != 0)
        ADD_FAILURE() << "failed (" << status << "): " << command;
    return status == 0;
}

bool Connects(unsigned port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(s);
    return ok;
}

// Starts argv as a child and waits until it listens on every port.
std::unique_ptr<ChildProcess> StartListening(const std::vector<std::string> &argv,
                                             const std::vector<unsigned> &ports, bool *started) {
    auto child = std::make_unique<ChildProcess>([argv] {
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        return 127;
    });
    for (int i = 0; i < 1000 && child->Running(); ++i) {
        bool all = true;
        for (unsigned port : ports)
            all = all && Connects(port);
        if (all) {
            *started = true;
            return child;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << argv[0] << " did not come up";
    return child;
}

// Writes dir's nginx.conf, its http block holding these lines, and starts a
// private nginx on it.
std::unique_ptr<ChildProcess> StartNginx(const TempDir &dir, const std::string &http,
                                         const std::vector<unsigned> &ports, bool *started) {
    const std::string d = dir.Path();
    WriteWholeFile(dir.File("nginx.conf"),
                   "daemon off; master_process off; pid " + d + "/nginx.pid; error_log " + d +
                       "/error.log;\nevents { worker_connections 64; }\nhttp { "
                       "client_body_temp_path " +
                       d + "/body; proxy_temp_path " + d + "/proxy; fastcgi_temp_path " + d +
                       "/fastcgi; uwsgi_temp_path " + d + "/uwsgi; scgi_temp_path " + d +
                       "/scgi;\n" + http + "}\n");
    return StartListening({"nginx", "-p", d, "-c", dir.File("nginx.conf")}, ports, started);
}

}  // namespace

unsigned FreeLoopbackPort() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(s, reinterpret_cast<sockaddr *>(&address), length);
    getsockname(s, reinterpret_cast<sockaddr *>(&address), &length);
    close(s);
    return ntohs(address.sin_port);
}

TestAuthority::TestAuthority(const std::string &commonName, const std::string &unit)
    : m_cert(m_dir.File("ca.pem")), m_key(m_dir.File("ca.key")) {
    const std::string subject =
        "/O=Test Authorities/" + (unit.empty() ? "" : "OU=" + unit + "/") + "CN=" + commonName;
    Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 "
        "-keyout " +
        Quoted(m_key) + " -out " + Quoted(m_cert) + " -subj " + Quoted(subject));
}

bool TestAuthority::Issue(const std::string &commonName, const std::string &pemPath,
                          bool expired) const {
    const std::string key = m_dir.File("issued.key"), request = m_dir.File("issued.csr"),
                      cert = m_dir.File("issued.pem"), days = expired ? "-1" : "30";
    if (!Run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " +
             Quoted(key) + " -out " + Quoted(request) + " -subj " + Quoted("/CN=" + commonName)) ||
        !Run("openssl x509 -req -days " + days + " -in " + Quoted(request) + " -CA " +
             Quoted(m_cert) + " -CAkey " + Quoted(m_key) + " -CAcreateserial -out " + Quoted(cert)))
        return false;
    WriteWholeFile(pemPath, ReadWholeFile(cert) + ReadWholeFile(key));
    return true;
}

namespace {

const char *ProtocolsLine(bool tls13) {
    return tls13 ? "ssl_protocols TLSv1.2 TLSv1.3;\n" : "";
}

}  // namespace

NginxServer::NginxServer(const std::string &serverPem, const std::string &clientAuthority,
                         bool tls13) {
    std::string servers;
    const char *verify[] = {"on", "optional", "off"};
    for (int i = 0; i < 3; ++i) {
        m_ports[i] = FreeLoopbackPort();
        servers += "server { listen 127.0.0.1:" + std::to_string(m_ports[i]) +
                   " ssl; ssl_certificate " + serverPem + "; ssl_certificate_key " + serverPem +
                   "; ssl_client_certificate " + clientAuthority + "; ssl_verify_client " +
                   verify[i] + "; location / { return 200 \"" + kNginxBody +
                   "\"; } location /redirect { return 302 $arg_to; } }\n";
    }
    m_process = StartNginx(m_dir, "access_log off;\n" + std::string(ProtocolsLine(tls13)) + servers,
                           {m_ports[0], m_ports[1], m_ports[2]}, &m_started);
}

NginxSite::NginxSite(const std::string &serverPem) {
    m_ports[0] = FreeLoopbackPort();
    m_ports[1] = FreeLoopbackPort();
    const std::string d = m_dir.Path();
    mkdir(Root().c_str(), 0755);
    // Filtering a body drops its length, so nginx sends it chunked.
    m_process = StartNginx(
        m_dir,
        "log_format probe '$uri|$http_x_zembrix_test|$http_user_agent';\naccess_log " + d +
            "/access.log probe;\nserver { listen 127.0.0.1:" + std::to_string(m_ports[0]) +
            "; listen 127.0.0.1:" + std::to_string(m_ports[1]) + " ssl; ssl_certificate " +
            serverPem + "; ssl_certificate_key " + serverPem + "; root " + Root() +
            "; location /chunked/ { alias " + Root() +
            "/; sub_filter_types *; sub_filter_once off; sub_filter '@@' '@@'; } }\n",
        {m_ports[0], m_ports[1]}, &m_started);
}

std::string NginxSite::HttpUrl(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(m_ports[0]) + path;
}

std::string NginxSite::HttpsUrl(const std::string &path) const {
    return "https://localhost:" + std::to_string(m_ports[1]) + path;
}

bool NginxSite::Logged(const std::string &text) const {
    // nginx writes the line once the answer is out, maybe after the client read it.
    for (int i = 0; i < 1000; ++i) {
        if (ReadWholeFile(m_dir.File("access.log")).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

NginxWebApi::NginxWebApi(const std::string &serverPem, const std::string &clientAuthority,
                         const std::string &address, const std::string &onlyFrom,
                         const std::string &upstream, bool tls13)
    : m_address(address) {
    const std::string answer =
        upstream.empty() ? "try_files /answer.txt =404;" : "proxy_pass http://" + upstream + ";";
    const std::string d = m_dir.Path();
    SetAnswer("");
    std::string servers;
    for (int i = 0; i < 2; ++i) {
        m_ports[i] = FreeLoopbackPort();
        const std::string port = std::to_string(m_ports[i]);
        servers += "server { listen 127.0.0.1:" + port + " ssl http2; listen " + address + ":" +
                   port + " ssl http2; ssl_certificate " + serverPem + "; ssl_certificate_key " +
                   serverPem + "; ssl_client_certificate " + clientAuthority +
                   "; ssl_verify_client on; absolute_redirect off; default_type text/plain; root " +
                   d + "; location / { " + (i == 1 ? "allow " + onlyFrom + "; deny all; " : "") +
                   answer + " } }\n";
    }
    m_process = StartNginx(m_dir,
                           ProtocolsLine(tls13) +
                               std::string("log_format api "
                                           "'$remote_addr|$request|$http_user_agent|$ssl_client_"
                                           "i_dn|$status';\naccess_log ") +
                               d + "/access.log api;\n" + servers,
                           {m_ports[0], m_ports[1]}, &m_started);
}

std::string NginxWebApi::OpenServer() const {
    return m_address + ":" + std::to_string(m_ports[0]);
}

std::string NginxWebApi::GuardedServer() const {
    return m_address + ":" + std::to_string(m_ports[1]);
}

void NginxWebApi::SetAnswer(const std::string &text) {
    WriteWholeFile(m_dir.File("answer.txt"), text);
}

std::vector<std::string> NginxWebApi::Requests(size_t count) const {
    std::vector<std::string> lines;
    for (int i = 0; i < 1000; ++i) {
        lines.clear();
        std::istringstream log(ReadWholeFile(m_dir.File("access.log")));
        for (std::string line; std::getline(log, line);)
            lines.push_back(line);
        if (lines.size() >= count)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return lines;
}

SharedPeers::SharedPeers() {
    serverAuthority.Issue("localhost", dir.File("server.pem"));
    nginx =
        std::make_unique<NginxServer>(dir.File("server.pem"), clientAuthority.CertificatePath());
    proxy = std::make_unique<TinyProxy>();
}

SilentNameServer::SilentNameServer() {
    m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_socket < 0 || bind(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        ADD_FAILURE() << "SilentNameServer: cannot bind 127.0.0.1:53";
}

SilentNameServer::~SilentNameServer() {
    if (m_socket >= 0)
        close(m_socket);
}

TinyProxy::TinyProxy(const std::string &outgoingAddress) : m_port(FreeLoopbackPort()) {
    WriteWholeFile(m_dir.File("tinyproxy.conf"),
                   "User root\nGroup root\nPort " + std::to_string(m_port) +
                       "\nListen 127.0.0.1\nTimeout 60\nMaxClients 20\nLogLevel Critical\n"
                       "LogFile \"" +
                       m_dir.File("tinyproxy.log") + "\"\n" +
                       (outgoingAddress.empty() ? "" : "Bind " + outgoingAddress + "\n"));
    m_process = StartListening({"tinyproxy", "-d", "-c", m_dir.File("tinyproxy.conf")}, {m_port},
                               &m_started);
}

}  // namespace zntest
