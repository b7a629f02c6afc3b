#pragma once

// An HTTP server on 127.0.0.1 and a free port, for tests of the components that talk to services.
// It records every request exactly (method, path, headers, body bytes) and answers through
// scripted handlers that can delay, stall mid-body, drop the connection or send huge bodies.

#include <QUrl>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace quillmere::testing {

class LoopbackServer {
public:
    struct Recorded {
        std::string method;
        std::string path;
        httplib::Headers headers;
        std::string body;

        std::string header(const std::string& name) const {
            const auto it = headers.find(name);
            return it == headers.end() ? std::string() : it->second;
        }
    };
    using Handler = httplib::Server::Handler;

    // On `host` (an address in 127.0.0.0/8) and `port`, or a free port when `port` is 0; port()
    // is 0 when the port could not be had.
    explicit LoopbackServer(std::string host = "127.0.0.1", int port = 0) : host_(std::move(host)) {
        // One request per connection, so stopping never waits out a keep-alive timeout.
        server_.set_keep_alive_max_count(1);
        port_ = port == 0 ? server_.bind_to_any_port(host_) : (server_.bind_to_port(host_, port) ? port : 0);
        if (port_ <= 0) {
            port_ = 0;
            return;
        }
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~LoopbackServer() {
        server_.stop();
        if (thread_.joinable())
            thread_.join();
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    void post(const std::string& path, Handler handler) { server_.Post(path, recording(std::move(handler))); }
    void get(const std::string& path, Handler handler) { server_.Get(path, recording(std::move(handler))); }
    void del(const std::string& path, Handler handler) {
        server_.Delete(path, recording(std::move(handler)));
    }

    int port() const { return port_; }
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://%1:%2%3").arg(QString::fromStdString(host_)).arg(port_).arg(path));
    }

    std::vector<Recorded> requests() const {
        std::lock_guard lock(mutex_);
        return recorded_;
    }

    // A handler that answers `status` with `body` after `delay`.
    static Handler answer(int status, std::string body, std::chrono::milliseconds delay = {}) {
        return [status, body = std::move(body), delay](const httplib::Request&, httplib::Response& response) {
            if (delay.count() > 0)
                std::this_thread::sleep_for(delay);
            response.status = status;
            response.set_content(body, "application/json");
        };
    }

    // A handler that sends nothing at all until `release` turns true (or five seconds have
    // passed), then answers 200 with an empty JSON object: a service that has gone silent.
    static Handler silentUntil(const std::atomic<bool>& release) {
        return [&release](const httplib::Request&, httplib::Response& response) {
            for (int i = 0; i < 100 && !release; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            response.set_content("{}", "application/json");
        };
    }

private:
    // Records before answering, so a client that has its answer always finds its request here.
    Handler recording(Handler handler) {
        return [this, handler = std::move(handler)](const httplib::Request& request,
                                                    httplib::Response& response) {
            {
                std::lock_guard lock(mutex_);
                recorded_.push_back({request.method, request.path, request.headers, request.body});
            }
            handler(request, response);
        };
    }

    std::string host_;
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<Recorded> recorded_;
};

// A loopback port that refuses connections for as long as this value lives: the port is bound but
// never listened on, so no other test's server can take it meanwhile.
class ClosedPort {
public:
    ClosedPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~ClosedPort() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;

    int port() const { return port_; }
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path));
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

} // namespace quillmere::testing
