#pragma once

// Servers that go silent or trickle, for the tests of time-outs, and a transport that passes
// requests on with time-outs short enough for a test while noting the ones asked for.

#include "platform/network/HttpTransport.h"
#include "support/RawLoopbackServer.h"

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

namespace quillmere::testing {

inline void pause(RawLoopbackServer::Connection& connection, int milliseconds) {
    for (int i = 0; i < milliseconds / 10 && !connection.stopping(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// A complete header section announcing a body, one byte of it, then silence.
inline void stallAfterHeaders(RawLoopbackServer::Connection& connection) {
    if (connection.write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{"))
        pause(connection, 20000);
}

// A status line, then one header line after another, never the end of the headers.
inline void endlessHeaderLines(RawLoopbackServer::Connection& connection) {
    if (!connection.write("HTTP/1.1 200 OK\r\n"))
        return;
    while (connection.write("X-Padding: a\r\n"))
        pause(connection, 50);
}

// A body one byte at a time, each soon after the last, never complete.
inline void trickleBody(RawLoopbackServer::Connection& connection) {
    if (!connection.write(
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100000\r\n\r\n"))
        return;
    while (connection.write(" "))
        pause(connection, 50);
}

// The ways a server can stall, and a request withdrawn while one does: the first three are
// time-outs, only the last a cancellation.
struct StallCase {
    const char* what;
    void (*script)(RawLoopbackServer::Connection&);
    bool withdraw;
};
inline constexpr StallCase stallCases[] = {
    {"stall after the headers", stallAfterHeaders, false},
    {"endless header lines", endlessHeaderLines, false},
    {"an answer that trickles", trickleBody, false},
    {"withdrawn during a stall", stallAfterHeaders, true},
};

class HurriedTransport final : public HttpTransport {
public:
    HurriedTransport(double idleSeconds, double deadlineSeconds)
        : idleSeconds_(idleSeconds), deadlineSeconds_(deadlineSeconds) {}
    QCoro::Task<HttpResponse> send(HttpRequest request, CancelToken token) override {
        asked.emplace_back(request.idleTimeoutSeconds, request.timeoutSeconds);
        request.idleTimeoutSeconds = idleSeconds_;
        request.timeoutSeconds = deadlineSeconds_;
        co_return co_await HttpTransport::shared().send(std::move(request), token);
    }
    // The idle time-out and the deadline of each request, as asked for.
    std::vector<std::pair<double, double>> asked;

private:
    double idleSeconds_;
    double deadlineSeconds_;
};

} // namespace quillmere::testing
