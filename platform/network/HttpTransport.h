#pragma once

// HTTP for the components that talk to services. One request, one whole answer: the caller gets
// the status (0 when the answer was not an HTTP response) and the body, or a TransportError.
// Redirects are never followed, a deadline of our own bounds the whole exchange and never ends it
// early, and a body larger than the caller allows is refused while it arrives, not after (the
// failure still tells the status that arrived). Answers are asked for uncompressed and one sent
// compressed anyway (a content encoding, or a transfer coding other than chunked) is a bad server
// response, as is one whose framing is malformed; that failure too tells the status that arrived.
// Every request has a connection of its own and none waits for another, whatever their hosts and
// ports; one that ends early (deadline, idle time-out or cancellation) has its connection closed
// at once, while every other request, to the same server too, goes on.

#include "platform/tasks/Task.h"

#include <QByteArray>
#include <QCoroTask>
#include <QList>
#include <QString>
#include <QUrl>
#include <memory>
#include <stdexcept>
#include <utility>

namespace quillmere {

struct HttpRequest {
    QByteArray method = "POST";
    QUrl url;
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    double timeoutSeconds = 60;
    // Longest silence between received bytes; 0 leaves only the whole-exchange deadline.
    double idleTimeoutSeconds = 0;
    qint64 maxResponseBytes = 8 * 1024 * 1024;
    // No cookies, cached answers or stored credentials.
    bool ephemeral = false;
};

struct HttpResponse {
    int status = 0;
    QByteArray body;
    // The "Content-Type" header as sent, and the URL that answered (redirects are not followed,
    // so a different one means something rewrote the exchange).
    QByteArray contentType;
    QUrl url;
};

// A URL-loading failure, with the numeric codes of the platform's URL-loading errors so logs read
// the same everywhere.
class TransportError : public std::runtime_error {
public:
    enum Code {
        unknown = -1,
        cancelled = -999,
        badURL = -1000,
        timedOut = -1001,
        unsupportedURL = -1002,
        cannotFindHost = -1003,
        cannotConnectToHost = -1004,
        networkConnectionLost = -1005,
        notConnectedToInternet = -1009,
        badServerResponse = -1011,
        secureConnectionFailed = -1200,
        dataLengthExceedsMaximum = -1103,
    };
    // `status`: the HTTP status that had arrived when the exchange failed (0 when none had).
    TransportError(Code code, QString description, int status = 0);
    Code code() const { return code_; }
    const QString& description() const { return description_; }
    int status() const { return status_; }

private:
    Code code_;
    QString description_;
    int status_;
};

class HttpTransport {
public:
    virtual ~HttpTransport() = default;
    // Sends once. Throws TransportError on failure (badURL for a URL without a host, timedOut for
    // the whole-exchange deadline, for a silence longer than the idle time-out and for a header
    // section that never ends alike; unknown, before anything is sent, for a header whose name or
    // value holds a line break),
    // and TaskCancelled only when `token` is cancelled before the answer is complete (the
    // transfer is aborted).
    virtual QCoro::Task<HttpResponse> send(HttpRequest request, CancelToken token = {}) = 0;

    // The process-wide transport (created on first use, on the
    // main thread, and kept for the life of the process).
    static HttpTransport& shared();
};

class CurlMulti;

// The transport over libcurl, driven from the main thread's event loop.
class NetworkTransport final : public HttpTransport {
public:
    NetworkTransport();
    ~NetworkTransport() override;
    QCoro::Task<HttpResponse> send(HttpRequest request, CancelToken token = {}) override;

private:
    // Absent when the library cannot look names up without blocking the caller.
    std::unique_ptr<CurlMulti> multi_;
};

} // namespace quillmere
