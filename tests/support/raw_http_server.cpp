#include "raw_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace bxtest {
namespace {

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

size_t contentLength(const std::string& head) {
    size_t pos = 0;
    while ((pos = head.find("\r\n", pos)) != std::string::npos) {
        pos += 2;
        if (strncasecmp(head.c_str() + pos, "content-length:", 15) == 0) {
            return std::strtoul(head.c_str() + pos + 15, nullptr, 10);
        }
    }
    return 0;
}

}  // namespace

int unusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                 ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    ::close(fd);
    return bound ? ntohs(addr.sin_port) : 0;
}

RawHttpServer::RawHttpServer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        return;
    }
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 16) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        return;
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

RawHttpServer::~RawHttpServer() {
    stop_ = true;
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int fd : clientFds_) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    for (auto& t : workers_) {
        t.join();
    }
    for (int fd : clientFds_) {
        ::close(fd);
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
}

void RawHttpServer::setDefaultReply(const Reply& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    default_ = reply;
}

void RawHttpServer::queueReply(const Reply& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_.push_back(reply);
}

std::vector<std::string> RawHttpServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

RawHttpServer::Reply RawHttpServer::nextReply() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queued_.empty()) {
        return default_;
    }
    Reply r = queued_.front();
    queued_.pop_front();
    return r;
}

void RawHttpServer::acceptLoop() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        ++connections_;
        std::lock_guard<std::mutex> lock(mutex_);
        clientFds_.push_back(fd);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void RawHttpServer::serve(int fd) {
    std::string buffer;
    char chunk[4096];
    while (!stop_) {
        size_t headEnd;
        while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return;
            }
            buffer.append(chunk, static_cast<size_t>(n));
        }
        std::string head = buffer.substr(0, headEnd + 4);
        size_t total = head.size() + contentLength(head);
        while (buffer.size() < total) {
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return;
            }
            buffer.append(chunk, static_cast<size_t>(n));
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(buffer.substr(0, total));
        }
        buffer.erase(0, total);
        Reply reply = nextReply();
        if (reply.delayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
        }
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) +
                          "\r\nContent-Type: " + reply.contentType +
                          "\r\nContent-Length: " + std::to_string(reply.body.size()) + "\r\n" +
                          reply.headers + "\r\n" + reply.body;
        if (::send(fd, out.data(), out.size(), MSG_NOSIGNAL) < 0) {
            break;
        }
    }
}

}  // namespace bxtest
