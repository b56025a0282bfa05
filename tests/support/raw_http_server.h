// A minimal plain-HTTP/1.1 server on 127.0.0.1 that records every request
// exactly as it arrived on the wire (header lines in order) and counts the
// connections it accepted. For transport-level tests of the HTTP client.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bxtest {

// A loopback port that nothing listens on (bound, read and closed again); 0 on failure.
int unusedPort();

class RawHttpServer {
  public:
    struct Reply {
        int status = 200;
        std::string body = "{}";
        std::string contentType = "application/json";
        int delayMs = 0;  // wait before answering
        // Further header lines, each ending in CRLF; by default the mark of the
        // metadata server, which this server stands in for too.
        std::string headers = "Metadata-Flavor: Google\r\n";
    };

    RawHttpServer();
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;

    bool ok() const { return listenFd_ >= 0; }
    int port() const { return port_; }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }

    // Answer for every request without a queued one.
    void setDefaultReply(const Reply& reply);
    // Answers for the next requests, in order.
    void queueReply(const Reply& reply);

    // Raw requests: request line, header lines and body as received.
    std::vector<std::string> requests() const;
    long connections() const { return connections_.load(); }

  private:
    void acceptLoop();
    void serve(int fd);
    Reply nextReply();

    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<long> connections_{0};
    mutable std::mutex mutex_;
    Reply default_;
    std::deque<Reply> queued_;
    std::vector<std::string> requests_;
    std::vector<int> clientFds_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

}  // namespace bxtest
