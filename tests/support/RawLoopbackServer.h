#pragma once

// A loopback server that speaks raw bytes rather than HTTP, for servers that break the protocol:
// one that never ends its headers, answers with endless interim responses or sends a damaged
// compressed body, or a proxy that logs what reaches it. It listens on 127.0.0.1 only; every
// connection gets the request read (up to the end of its headers and its announced body, and kept)
// and is then handed to the script, which writes what it likes. Scripts must stop when `stopping()` turns
// true or a write fails; the server also stops every script after `maximumRun`.

#include <QUrl>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quillmere::testing {

class RawLoopbackServer {
public:
    class Connection {
    public:
        Connection(int fd, const std::atomic<bool>& stop, std::chrono::steady_clock::time_point end)
            : fd_(fd), stop_(stop), end_(end) {}
        // False once the client is gone or the server is stopping.
        bool write(const std::string& bytes) {
            size_t done = 0;
            while (done < bytes.size()) {
                if (stopping())
                    return false;
                pollfd p{fd_, POLLOUT, 0};
                if (::poll(&p, 1, 50) <= 0)
                    continue;
                const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
                if (n <= 0)
                    return false;
                done += size_t(n);
            }
            return true;
        }
        bool stopping() const { return stop_.load() || std::chrono::steady_clock::now() > end_; }
        // Whether the client closed its end within `wait` (anything else it sends is skipped).
        bool closedWithin(std::chrono::milliseconds wait) {
            const auto until = std::chrono::steady_clock::now() + wait;
            while (!stopping() && std::chrono::steady_clock::now() < until) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0)
                    continue;
                char buffer[4096];
                if (::recv(fd_, buffer, sizeof buffer, 0) <= 0)
                    return true;
            }
            return false;
        }

    private:
        int fd_;
        const std::atomic<bool>& stop_;
        std::chrono::steady_clock::time_point end_;
    };
    using Script = std::function<void(Connection&)>;

    explicit RawLoopbackServer(Script script, std::chrono::seconds maximumRun = std::chrono::seconds(20))
        : script_(std::move(script)), maximumRun_(maximumRun) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ >= 0 && ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(listener_, 16) == 0 &&
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~RawLoopbackServer() {
        stop_ = true;
        thread_.join();
        for (std::thread& connection : connections_)
            connection.join();
        if (listener_ >= 0)
            ::close(listener_);
    }
    RawLoopbackServer(const RawLoopbackServer&) = delete;
    RawLoopbackServer& operator=(const RawLoopbackServer&) = delete;

    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path));
    }
    int connections() const { return accepted_.load(); }
    // What each connection sent before its script began: the request line, headers and body.
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // Connections whose script has returned (the client left, or the server stopped it).
    int finishedConnections() const { return finished_.load(); }

private:
    void serve() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++accepted_;
            connections_.emplace_back([this, fd] {
                Connection connection(fd, stop_, std::chrono::steady_clock::now() + maximumRun_);
                std::string request = readRequest(fd, connection);
                {
                    std::lock_guard lock(mutex_);
                    requests_.push_back(std::move(request));
                }
                script_(connection);
                ::shutdown(fd, SHUT_RDWR);
                ::close(fd);
                ++finished_;
            });
        }
    }

    // Reads the headers and as much body as Content-Length announces, within a second.
    static std::string readRequest(int fd, const Connection& connection) {
        std::string request;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        size_t wanted = std::string::npos;
        while (!connection.stopping() && std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            request.append(buffer, size_t(n));
            const size_t headersEnd = request.find("\r\n\r\n");
            if (headersEnd == std::string::npos)
                continue;
            if (wanted == std::string::npos) {
                wanted = headersEnd + 4;
                size_t at = request.find("Content-Length: ");
                if (at == std::string::npos)
                    at = request.find("content-length: ");
                if (at != std::string::npos && at < headersEnd)
                    wanted += std::stoul(request.substr(at + 16));
            }
            if (request.size() >= wanted)
                break;
        }
        return request;
    }

    Script script_;
    std::chrono::seconds maximumRun_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> finished_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
    std::vector<std::thread> connections_;
};

} // namespace quillmere::testing
