#!/usr/bin/env python3
"""The update and `doctor --update` against the servers users meet: Apache
httpd with mod_ssl (a client certificate asked in the handshake, and per
directory after a TLS 1.3 handshake), squid (CONNECT, with and without Basic
authentication), a page served gzip-compressed, and a silent first name
server before dnsmasq.

    interop.py TOOL

Runs inside scripts/netns-run only, as the namespace's real root (Apache
and squid give up root for their users). Every server it starts is its own
child, bound to the namespace's addresses, and ends with it. One table of
cells; configure() writes every server's configuration from one set of
addresses.
"""
import gzip
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

TOOL = ""
# Addresses inside the namespace (all of 10.0.0.0/24 is local there).
CONNECTIVITY = ("10.0.0.201", "10.0.0.202")  # /etc/hosts of netns-run names them
HANDSHAKE = "10.0.0.10"  # TLS 1.2 and 1.3, certificate asked in the handshake
PER_DIRECTORY = "10.0.0.11"  # TLS 1.3 only, certificate asked for /webapi/ only
PROXIED = "10.0.0.13"  # as HANDSHAKE, but answers only what comes from the proxy
PROXY = "10.0.0.20"  # squid: 3128 open, 3129 Basic authentication
PROXY_OUTGOING = "10.0.0.21"  # where squid's own connections come from
NAME_SERVER = "10.0.0.53"  # dnsmasq
SILENT_NAME_SERVER = "10.99.0.2"  # netns-run's silent-drop host
ANSWERED = "10.0.0.99:443"  # the address the web API's answer lists
LISTED = "10.0.0.98:443"  # the address the page lists
PROXY_USER, PROXY_PASSWORD = "zembrix", "s3cret"
UNIT = "Quenstead Corp."  # the issuer's unit the library picks a client certificate by

# One row per cell: what the client's file names, the command, and what must
# come of it: the entry written (or none), and steps doctor must show.
CELLS = [
    dict(name="Apache, certificate asked in the handshake", command="update",
         web=HANDSHAKE + ":443", written=ANSWERED),
    dict(name="Apache, TLS 1.3, certificate asked per directory", command="doctor",
         web=PER_DIRECTORY + ":443", written=ANSWERED,
         steps=[dict(step="source", entry="direct", outcome="ok")]),
    dict(name="squid, CONNECT", command="doctor", web=PROXIED + ":443",
         proxy=PROXY + ":3128", written=ANSWERED,
         steps=[dict(step="source", entry="proxy", outcome="ok")]),
    dict(name="squid, Basic authentication, credentials in HTTPPROXY", command="update",
         web=PROXIED + ":443", proxy="%s:%s@%s:3129" % (PROXY_USER, PROXY_PASSWORD, PROXY),
         written=ANSWERED),
    dict(name="squid, Basic authentication, no credentials", command="doctor",
         web=PROXIED + ":443", proxy=PROXY + ":3129", written=None,
         steps=[dict(step="source", entry="proxy", outcome="failed", proxyStatus=407)]),
    dict(name="a page served gzip-compressed", command="update", web="04",
         page="http://%s/list1.html.gz" % CONNECTIVITY[0], written=LISTED),
    dict(name="a silent first name server", command="doctor", web=HANDSHAKE + ":443",
         name_servers=[SILENT_NAME_SERVER, NAME_SERVER], written=ANSWERED,
         steps=[dict(step="connectivity", outcome="connected")]),
    dict(name="only silent name servers", command="doctor", web=HANDSHAKE + ":443",
         name_servers=[SILENT_NAME_SERVER], written=None,
         steps=[dict(step="connectivity", outcome="no answer from the name servers")]),
]


def run(args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kwargs).stdout


def tool(*args):
    return run([TOOL] + list(args)).strip()


def openssl_issue(work, name, subject, ca=None, san=None):
    """A key and certificate in work/name.pem (its key in name.key), issued by
    ca (a name) or self-signed."""
    key, cert = os.path.join(work, name + ".key"), os.path.join(work, name + ".pem")
    new_key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
               "-keyout", key, "-subj", subject]
    if ca is None:
        run(["openssl", "req", "-x509", "-days", "30", "-out", cert] + new_key)
        return cert
    request = os.path.join(work, name + ".csr")
    run(["openssl", "req", "-new", "-out", request] + new_key)
    extensions = os.path.join(work, name + ".ext")
    with open(extensions, "w") as f:
        f.write("basicConstraints=critical,CA:FALSE\n" +
                ("subjectAltName=%s\n" % san if san else ""))
    run(["openssl", "x509", "-req", "-days", "30", "-in", request, "-out", cert,
         "-CA", os.path.join(work, ca + ".pem"), "-CAkey", os.path.join(work, ca + ".key"),
         "-CAcreateserial", "-extfile", extensions])
    return cert


APACHE = """ServerRoot /usr/lib/apache2
PidFile {work}/apache.pid
ErrorLog {work}/apache.log
LogLevel warn
TypesConfig /etc/mime.types
User www-data
Group www-data
LoadModule mpm_event_module modules/mod_mpm_event.so
LoadModule authz_core_module modules/mod_authz_core.so
LoadModule authz_host_module modules/mod_authz_host.so
LoadModule mime_module modules/mod_mime.so
LoadModule socache_shmcb_module modules/mod_socache_shmcb.so
LoadModule ssl_module modules/mod_ssl.so
Mutex file:{work}
ServerName localhost
DocumentRoot {work}/htdocs
<Directory {work}/htdocs>
    Require all granted
</Directory>
# A precompressed page is sent as it lies, with its encoding, asked or not.
AddType text/html .html
AddEncoding gzip .gz
Listen {c1}:80
Listen {c2}:80
Listen {handshake}:443
Listen {per_directory}:443
Listen {proxied}:443
SSLSessionCache shmcb:{work}/ssl_cache(512000)
SSLCACertificateFile {work}/ca.pem
<VirtualHost {handshake}:443>
    ServerName {handshake}
    SSLEngine on
    SSLCertificateFile {work}/server.pem
    SSLCertificateKeyFile {work}/server.key
    SSLVerifyClient require
</VirtualHost>
# A network whose firewall lets only its proxy out.
<VirtualHost {proxied}:443>
    ServerName {proxied}
    SSLEngine on
    SSLCertificateFile {work}/server.pem
    SSLCertificateKeyFile {work}/server.key
    SSLVerifyClient require
    <Location /webapi/>
        Require ip {proxy_outgoing}
    </Location>
</VirtualHost>
<VirtualHost {per_directory}:443>
    ServerName {per_directory}
    SSLEngine on
    SSLProtocol TLSv1.3
    SSLCertificateFile {work}/server.pem
    SSLCertificateKeyFile {work}/server.key
    <Location /webapi/>
        SSLVerifyClient require
    </Location>
</VirtualHost>
"""

SQUID = """http_port {proxy}:3128 name=open
http_port {proxy}:3129 name=basic
pid_filename {work}/squid/squid.pid
cache_log {work}/squid/cache.log
access_log none
cache deny all
coredump_dir {work}/squid
tcp_outgoing_address {proxy_outgoing}
dns_nameservers 127.0.0.1
auth_param basic program /usr/lib/squid/basic_ncsa_auth {work}/proxy_users
acl basic myportname basic
acl authenticated proxy_auth REQUIRED
acl CONNECT method CONNECT
http_access allow CONNECT !basic
http_access allow CONNECT basic authenticated
http_access deny all
"""


def configure(work):
    """Writes every server's configuration and content; returns the commands
    that start them, each with the address and port it is ready on."""
    ca = openssl_issue(work, "ca", "/O=Interop/OU=%s/CN=Interop Authority" % UNIT)
    openssl_issue(work, "server", "/CN=webapi.example", "ca",
                  "IP:%s,IP:%s,IP:%s" % (HANDSHAKE, PER_DIRECTORY, PROXIED))
    openssl_issue(work, "client", "/CN=client", "ca")
    htdocs = os.path.join(work, "htdocs")
    os.makedirs(os.path.join(htdocs, "webapi"))
    with open(os.path.join(htdocs, "webapi", "zembrix.php"), "w") as f:
        f.write("<RES>OK</RES><webservernum>1</webservernum><web1>%s</web1>" % ANSWERED)
    with gzip.open(os.path.join(htdocs, "list1.html.gz"), "wt") as f:
        f.write("<html><webnum>1</webnum><web1>%s</web1></html>" % tool("encipher", LISTED))
    with open(os.path.join(work, "apache.conf"), "w") as f:
        f.write(APACHE.format(work=work, c1=CONNECTIVITY[0], c2=CONNECTIVITY[1],
                              handshake=HANDSHAKE, per_directory=PER_DIRECTORY,
                              proxied=PROXIED, proxy_outgoing=PROXY_OUTGOING))
    os.makedirs(os.path.join(work, "squid"))  # squid writes as its own user
    shutil.chown(os.path.join(work, "squid"), "proxy", "proxy")
    with open(os.path.join(work, "squid.conf"), "w") as f:
        f.write(SQUID.format(work=work, proxy=PROXY, proxy_outgoing=PROXY_OUTGOING))
    with open(os.path.join(work, "proxy_users"), "w") as f:
        f.write("%s:%s\n" % (PROXY_USER, run(["openssl", "passwd", "-apr1", PROXY_PASSWORD])
                             .strip()))
    # The name server cells: no names in the hosts file.
    with open(os.path.join(work, "dns_hosts"), "w") as f:
        f.write("127.0.0.1 localhost\n")
    names = [os.environ["ZEMBRIXNET_CONNECTIVITY_HOST1"],
             os.environ["ZEMBRIXNET_CONNECTIVITY_HOST2"]]
    dnsmasq = ["dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "--port=53",
               "--listen-address=" + NAME_SERVER, "--bind-interfaces", "--user=root",
               "--pid-file=" + os.path.join(work, "dnsmasq.pid")]
    dnsmasq += ["--address=/%s/%s" % (n, a) for n, a in zip(names, CONNECTIVITY)]
    return [
        (["apache2", "-f", os.path.join(work, "apache.conf"), "-DFOREGROUND"], HANDSHAKE, 443),
        (["squid", "-N", "-f", os.path.join(work, "squid.conf")], PROXY, 3129),
        (dnsmasq, NAME_SERVER, 53),
    ], ca


def wait_listening(address, port, server):
    for _ in range(300):
        if server.poll() is not None:
            return False
        try:
            socket.create_connection((address, port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.1)
    return False


def write_file(directory, cell, ca, client):
    """The client's file for cell: WEB1 the server to use, WEB2 failed (the
    entry an answer fills), and certs/ holding the authority and the client."""
    tool("init", "--dir", directory)
    for store, source in (("ROOT", ca), ("MY", client)):
        os.makedirs(os.path.join(directory, "certs", store), exist_ok=True)
        shutil.copy(source, os.path.join(directory, "certs", store, "a.pem"))
    web = cell["web"]
    values = {
        "WEB": "04" if web == "04" else tool("encipher", web),
        "WEBNUM": "2",
        "WEB1": (tool("encipher", web) if web != "04" else tool("encipher", "10.0.0.2:443"))
        + ",0",
        "WEB2": tool("encipher", "10.0.0.1:443") + ",-1",
        "HTTPPROXY": cell.get("proxy", "04"),
        "FREENUM": "1",
        "FREE1": tool("encipher", cell.get("page", "http://10.0.0.3/none")) + ",0",
    }
    path = os.path.join(directory, "ZembrixNetWork.ini")
    with open(path, newline="") as f:
        lines = f.read().split("\r\n")
    kept = [line for line in lines if line and line.split("=")[0] not in values]
    kept += ["%s=%s" % item for item in values.items()]
    with open(path, "w", newline="") as f:
        f.write("\r\n".join(kept) + "\r\n")


def written_entry(directory):
    with open(os.path.join(directory, "ZembrixNetWork.ini"), newline="") as f:
        for line in f.read().split("\r\n"):
            if line.startswith("WEB2="):
                hex_text, _, status = line[5:].partition(",")
                return tool("decipher", hex_text) if status == "0" else None
    return None


def run_cell(cell, work, ca, client):
    directory = tempfile.mkdtemp(dir=work)
    write_file(directory, cell, ca, client)
    args = [TOOL, "update", "--dir", directory] if cell["command"] == "update" else \
        [TOOL, "doctor", "--update", "--json", "--dir", directory]
    if cell.get("name_servers"):
        resolv_conf = os.path.join(directory, "resolv.conf")
        with open(resolv_conf, "w") as f:
            f.write("".join("nameserver %s\n" % server for server in cell["name_servers"]))
        # Its own mount namespace again: the name server setup is this cell's only.
        script = 'mount --bind "$1" /etc/hosts && mount --bind "$2" /etc/resolv.conf && ' \
                 'shift 2 && exec "$@"'
        args = ["unshare", "--mount", "sh", "-c", script, "sh",
                os.path.join(work, "dns_hosts"), resolv_conf] + args
    done = subprocess.run(args, capture_output=True, text=True, timeout=180)
    failures = []
    entry = written_entry(directory)
    if entry != cell["written"]:
        failures.append("WEB2 is %r, expected %r" % (entry, cell["written"]))
    if cell["command"] == "doctor":
        steps = json.loads(done.stdout)["steps"] if done.stdout.strip() else []
        for wanted in cell.get("steps", []):
            if not any(all(s.get(k) == v for k, v in wanted.items()) for s in steps):
                failures.append("no step %s among %s" % (wanted, steps))
    return failures, done


def main():
    global TOOL
    TOOL = os.path.abspath(sys.argv[1])
    if os.environ.get("ZN_NETNS") != "1" or run(["ip", "-4", "route", "show", "default"]):
        sys.exit("interop: runs only inside scripts/netns-run")
    work = tempfile.mkdtemp(prefix="zn-interop-")
    os.chmod(work, 0o755)  # Apache reads its pages as www-data
    servers = []
    failed = 0
    try:
        commands, ca = configure(work)
        for command, address, port in commands:
            server = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            servers.append(server)
            if not wait_listening(address, port, server):
                logs = [os.path.join(work, name) for name in ("apache.log", "squid/cache.log")]
                sys.exit("interop: %s did not start: %s%s" % (command[0], "".join(
                    open(log).read() for log in logs if os.path.exists(log)),
                    server.stderr.read() if server.poll() is not None else ""))
        client = os.path.join(work, "client.pem")
        with open(client, "a") as pem, open(os.path.join(work, "client.key")) as key:
            pem.write(key.read())
        for cell in CELLS:
            started = time.monotonic()
            failures, done = run_cell(cell, work, ca, client)
            print("%s: %s (%.1f s)" % (cell["name"], "FAILED" if failures else "ok",
                                        time.monotonic() - started), flush=True)
            for failure in failures:
                print("  " + failure)
            if failures:
                failed += 1
                print("  output:\n" + done.stdout + done.stderr)
    finally:
        for server in servers:
            server.send_signal(signal.SIGTERM)
        for server in servers:
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
        shutil.rmtree(work, ignore_errors=True)
    print("%d of %d cells failed" % (failed, len(CELLS)))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
