// A scripted plain-HTTP responder for replies no real server sends on
// request (a zero byte in the body, a body over the cap, a connection that
// breaks after the headers). Binds port 0 of a local address; each
// connection gets the same raw reply after its request's headers arrived,
// then is closed.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace zntest {

class HttpResponder {
  public:
    // reply: raw bytes written back, status line and headers included.
    // delayMs: how long each reply waits after its request arrived.
    explicit HttpResponder(std::string reply, const std::string &host = "127.0.0.1",
                           int delayMs = 0);
    ~HttpResponder();
    HttpResponder(const HttpResponder &) = delete;
    HttpResponder &operator=(const HttpResponder &) = delete;

    unsigned Port() const { return m_port; }
    std::string Url(const std::string &path = "/") const {
        return "http://" + m_host + ":" + std::to_string(m_port) + path;
    }
    // The headers of the last request received.
    std::string LastRequest() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lastRequest;
    }
    int Requests() const { return m_requests.load(); }
    // Connections accepted, counted before their request is read: a client
    // that never sends a whole request (a TLS one) is held without answer.
    int Connections() const { return m_connections.load(); }

    // A reply with status 200 (or the given one) and a Content-Length.
    static std::string Reply(const std::string &body, int status = 200) {
        return "HTTP/1.1 " + std::to_string(status) +
               " Whatever\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\nConnection: close\r\n\r\n" + body;
    }

  private:
    void Serve();

    std::string m_reply;
    std::string m_host;
    int m_delayMs = 0;
    unsigned m_port = 0;
    int m_socket = -1;
    int m_stop = -1;
    std::atomic<int> m_requests{0};
    std::atomic<int> m_connections{0};
    std::mutex m_mutex;
    std::string m_lastRequest;
    std::thread m_thread;
};

}  // namespace zntest
