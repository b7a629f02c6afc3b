#include "platform/network/HttpTransport.h"

#include "platform/tasks/TaskCancelled.h"

#include <QCoroNetworkReply>
#include <QCoroTimer>
#include <QDir>
#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <arpa/inet.h>
#include <chrono>
#include <cstddef>
#include <linux/tcp.h>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

TransportError::TransportError(Code code, QString description)
    : std::runtime_error(description.toStdString()), code_(code), description_(std::move(description)) {}

namespace {

TransportError::Code codeFor(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return TransportError::cannotConnectToHost;
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return TransportError::networkConnectionLost;
    case QNetworkReply::HostNotFoundError:
        return TransportError::cannotFindHost;
    case QNetworkReply::TimeoutError:
        return TransportError::timedOut;
    case QNetworkReply::OperationCanceledError:
        return TransportError::cancelled;
    case QNetworkReply::SslHandshakeFailedError:
        return TransportError::secureConnectionFailed;
    case QNetworkReply::ProtocolUnknownError:
        return TransportError::unsupportedURL;
    case QNetworkReply::ProtocolInvalidOperationError:
    case QNetworkReply::ProtocolFailure:
        return TransportError::badServerResponse;
    default:
        return TransportError::unknown;
    }
}

QString descriptionFor(TransportError::Code code, const QString& fallback) {
    switch (code) {
    case TransportError::cancelled:
        return QStringLiteral("cancelled");
    case TransportError::timedOut:
        return QStringLiteral("The request timed out.");
    case TransportError::cannotConnectToHost:
        return QStringLiteral("Could not connect to the server.");
    case TransportError::cannotFindHost:
        return QStringLiteral("A server with the specified hostname could not be found.");
    case TransportError::networkConnectionLost:
        return QStringLiteral("The network connection was lost.");
    case TransportError::dataLengthExceedsMaximum:
        return QStringLiteral("The resource exceeds the maximum size.");
    case TransportError::badURL:
        return QStringLiteral("unsupported URL");
    case TransportError::badServerResponse:
        return fallback.isEmpty() ? QStringLiteral("The server returned a bad response.") : fallback;
    default:
        return fallback;
    }
}

// The cookies of the requests that keep them, shared by every request's own manager.
QNetworkCookieJar* sharedCookieJar() {
    // Deliberately never destroyed, like the shared transport.
    static auto* jar = new QNetworkCookieJar();
    return jar;
}

// A manager for one request: Qt pools connections per manager, so a request with a manager of its
// own has connections of its own, and a network thread of its own.
QNetworkAccessManager* makeManager(bool ephemeral) {
    auto* manager = new QNetworkAccessManager();
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    manager->setCache(nullptr);
    if (ephemeral) {
        manager->setCookieJar(nullptr);
    } else {
        manager->setCookieJar(sharedCookieJar());
        sharedCookieJar()->setParent(nullptr); // shared, not the manager's to delete
    }
    return manager;
}

// Whether the answer's body is in an encoding other than identity.
bool isEncoded(const QNetworkReply& reply) {
    const QByteArray encoding = reply.rawHeader("Content-Encoding").trimmed().toLower();
    return !encoding.isEmpty() && encoding != "identity";
}

// The TCP port of the peer `fd` is connected to; none for anything else (a socket not connected
// yet, a local socket, a file).
std::optional<quint16> peerPort(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode))
        return std::nullopt;
    int type = 0;
    socklen_t typeLength = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_STREAM)
        return std::nullopt;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return std::nullopt;
    if (peer.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
    if (peer.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
    return std::nullopt;
}

// One socket of this process: its descriptor and the inode that tells it from a later socket
// given the same descriptor.
struct Socket {
    int fd;
    ino_t inode;
    bool operator==(const Socket&) const = default;
};

// The sockets of this process connected to a TCP peer on `port`.
QList<Socket> socketsToPort(quint16 port) {
    QList<Socket> sockets;
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    const QStringList entries = descriptors.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool ok = false;
        const int fd = entry.toInt(&ok);
        struct stat status {};
        if (ok && peerPort(fd) == port && ::fstat(fd, &status) == 0)
            sockets.append({fd, status.st_ino});
    }
    return sockets;
}

// Which connections belong to which request. Every request has a connection of its own (below),
// and while one request to a port is setting its connection up no other request to that port
// starts: the sockets to that port that appear meanwhile are that request's. A request that ends
// early then ends its own connections and no other request's.
//
// Ending them at the socket is what makes an early end take effect: Qt's network thread parses an
// answer's header section for as long as bytes keep arriving, and an abort cannot reach it
// meanwhile, so a server that never ends its headers would keep that thread busy for as long as
// it likes. Once its socket is shut down the parse ends and the abort is processed.
class ConnectionClaims {
public:
    struct Claim {
        quint16 port = 0;
        // Sockets to the port before the request began.
        QList<Socket> before;
        QList<Socket> sockets;
        bool holdsPort = false;
        // Another request's connection may have been set up at the same time, so the sockets
        // cannot be told apart: none is shut down.
        bool unsure = false;
    };

    static ConnectionClaims& shared() {
        static ConnectionClaims claims;
        return claims;
    }

    bool portBusy(quint16 port) const { return !holders_.value(port).expired(); }

    // Starts a request's connection set-up on `port`. `alongside` when it waited as long as it
    // may for another set-up to end: both requests' sockets are then unsure.
    void begin(const std::shared_ptr<Claim>& claim, bool alongside) {
        if (alongside) {
            claim->unsure = true;
            if (const auto holder = holders_.value(claim->port).lock())
                holder->unsure = true;
        } else {
            holders_.insert(claim->port, claim);
            claim->holdsPort = true;
        }
        claim->before = socketsToPort(claim->port);
    }

    // The set-up is over (the request went out, an answer began, or the request ended): the new
    // sockets to the port are this request's, and the next request to the port may start.
    void settle(Claim& claim) {
        if (!claim.holdsPort)
            return;
        for (const Socket& socket : socketsToPort(claim.port))
            if (!claim.before.contains(socket) && !claim.sockets.contains(socket) &&
                !claimedElsewhere(socket))
                claim.sockets.append(socket);
        holders_.remove(claim.port);
        claim.holdsPort = false;
        live_.append(&claim);
    }

    // Shuts this request's own sockets down: the descriptors still naming the sockets it made.
    void shutDown(const Claim& claim) const {
        if (claim.unsure)
            return;
        for (const Socket& socket : claim.sockets)
            if (stillTheSame(socket))
                ::shutdown(socket.fd, SHUT_RDWR);
    }

    // The bytes the system has received on this request's own connections (headers, framing and
    // body alike), whatever Qt's network thread has passed on of them; none when unknown.
    std::optional<quint64> bytesReceived(const Claim& claim) const {
        if (claim.unsure || claim.holdsPort || claim.sockets.isEmpty())
            return std::nullopt;
        quint64 total = 0;
        for (const Socket& socket : claim.sockets) {
            tcp_info info{};
            socklen_t length = sizeof info;
            if (stillTheSame(socket) && ::getsockopt(socket.fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
                length >= offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
                total += info.tcpi_bytes_received;
        }
        return total;
    }

    void end(Claim& claim) {
        settle(claim);
        live_.removeAll(&claim);
    }

private:
    static bool stillTheSame(const Socket& socket) {
        struct stat status {};
        return ::fstat(socket.fd, &status) == 0 && status.st_ino == socket.inode;
    }

    bool claimedElsewhere(const Socket& socket) const {
        for (const Claim* other : live_)
            if (other->sockets.contains(socket))
                return true;
        return false;
    }

    QHash<quint16, std::weak_ptr<Claim>> holders_;
    QList<const Claim*> live_;
};

// The longest a request waits for another request's connection set-up to the same port before
// it sets its own up alongside.
constexpr auto longestSetUpWait = std::chrono::seconds(3);

} // namespace

NetworkTransport::NetworkTransport() = default;

NetworkTransport::~NetworkTransport() = default;

HttpTransport& HttpTransport::shared() {
    // Deliberately never destroyed: replies may still reference it while the process exits.
    static auto* transport = new NetworkTransport();
    return *transport;
}

QCoro::Task<HttpResponse> NetworkTransport::send(HttpRequest request, CancelToken token) {
    if (token.isCancelled())
        throw TaskCancelled();
    if (!request.url.isValid() || request.url.scheme().isEmpty())
        throw TransportError(TransportError::badURL, descriptionFor(TransportError::badURL, {}));

    QNetworkRequest networkRequest(request.url);
    networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                QNetworkRequest::ManualRedirectPolicy);
    networkRequest.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    networkRequest.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    if (request.ephemeral) {
        networkRequest.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        networkRequest.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
        networkRequest.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    }
    // Answers are asked for uncompressed: Qt's own decompression hands back a damaged stream's
    // partial output, or a small body's expansion to megabytes, as a complete answer.
    networkRequest.setRawHeader("Accept-Encoding", "identity");
    for (const auto& [name, value] : request.headers)
        networkRequest.setRawHeader(name, value);
    if (request.idleTimeoutSeconds > 0)
        networkRequest.setTransferTimeout(int(request.idleTimeoutSeconds * 1000));

    // The deadline covers the wait for another request's connection set-up too.
    const auto started = std::chrono::steady_clock::now();
    const auto deadlineAt = started + std::chrono::milliseconds(qint64(request.timeoutSeconds * 1000));
    const quint16 port = quint16(request.url.port(request.url.scheme() == u"https" ? 443 : 80));
    ConnectionClaims& claims = ConnectionClaims::shared();
    auto claim = std::make_shared<ConnectionClaims::Claim>();
    claim->port = port;
    while (claims.portBusy(port) && std::chrono::steady_clock::now() - started < longestSetUpWait) {
        if (token.isCancelled())
            throw TaskCancelled();
        if (std::chrono::steady_clock::now() >= deadlineAt)
            throw TransportError(TransportError::timedOut, descriptionFor(TransportError::timedOut, {}));
        QTimer pause;
        pause.setSingleShot(true);
        pause.start(10);
        co_await qCoro(pause).waitForTimeout();
    }
    if (token.isCancelled())
        throw TaskCancelled();
    claims.begin(claim, claims.portBusy(port));

    QNetworkAccessManager* manager = makeManager(request.ephemeral);
    QPointer<QNetworkReply> reply = manager->sendCustomRequest(networkRequest, request.method, request.body);
    // The manager goes once its one reply has gone; the claim ends with this request.
    QObject::connect(reply.data(), &QObject::destroyed, manager, &QObject::deleteLater);
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> owner(
        reply.data(), [](QNetworkReply* r) { r->deleteLater(); });
    struct ClaimEnd {
        std::shared_ptr<ConnectionClaims::Claim> claim;
        ~ClaimEnd() { ConnectionClaims::shared().end(*claim); }
    } claimEnd{claim};
    const auto settle = [claim] { ConnectionClaims::shared().settle(*claim); };
    QObject::connect(reply, &QNetworkReply::requestSent, reply, settle);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, settle);

    enum class Ending { none, deadline, idle, cancelled, tooLarge, encoded };
    auto ending = std::make_shared<Ending>(Ending::none);
    auto body = std::make_shared<QByteArray>();
    const qint64 limit = request.maxResponseBytes;

    // Ends the request early: its own connection is shut down at once, before the abort. The
    // abort is only queued to the network thread, which meanwhile goes on reading whatever a fast
    // server sends (or parsing headers that never end), filling memory and the main thread's
    // queue; once the socket is shut down that reading ends.
    const auto endEarly = [reply, ending, claim](Ending why) {
        if (*ending != Ending::none)
            return;
        *ending = why;
        ConnectionClaims::shared().settle(*claim);
        ConnectionClaims::shared().shutDown(*claim);
        if (reply)
            reply->abort();
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, limit, endEarly] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > limit)
            endEarly(Ending::tooLarge);
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, ending, body, limit, endEarly] {
        if (*ending != Ending::none)
            return;
        if (body->size() + reply->bytesAvailable() > limit) {
            endEarly(Ending::tooLarge);
            return;
        }
        body->append(reply->readAll());
    });

    // Qt's network thread passes an answer on only when it pauses between reads: from a server
    // that sends fast enough it goes on reading a body into memory (hundreds of megabytes a
    // second over a fast link) and this side hears nothing. So what the connection itself has
    // received is watched on a short timer too; beyond the limit and a generous allowance for the
    // header section and framing, the body is too large whatever Qt has passed on.
    const quint64 connectionLimit = quint64(limit) + quint64(limit) / 8 + 1024 * 1024;
    QTimer watch;
    watch.setInterval(10);
    QObject::connect(&watch, &QTimer::timeout, reply, [claim, connectionLimit, endEarly] {
        if (const auto received = ConnectionClaims::shared().bytesReceived(*claim);
            received && *received > connectionLimit)
            endEarly(Ending::tooLarge);
    });
    watch.start();

    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, reply, [endEarly] { endEarly(Ending::deadline); });
    deadline.start(
        std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                   deadlineAt - std::chrono::steady_clock::now())));

    const quint64 cancelHandle = token.onCancel([endEarly] { endEarly(Ending::cancelled); });

    if (!reply->isFinished())
        co_await qCoro(reply.data()).waitForFinished(std::chrono::milliseconds(-1));
    token.removeCallback(cancelHandle);
    deadline.stop();
    watch.stop();

    // Qt's transfer timeout aborts the reply itself, and such an abort reads as a cancellation.
    // Only an abort of ours is one: a server that went silent (or never finished its headers)
    // timed out, and whoever sent the request must be able to tell it from a request withdrawn.
    if (*ending == Ending::none && reply->error() == QNetworkReply::OperationCanceledError)
        *ending = Ending::idle;
    // Qt's own time-out ended this one: its connection goes as an early end's does.
    if (*ending == Ending::idle) {
        claims.settle(*claim);
        claims.shutDown(*claim);
    }
    // Compressed although not asked for: the body is not what it claims to be.
    if (*ending == Ending::none && isEncoded(*reply))
        *ending = Ending::encoded;
    switch (*ending) {
    case Ending::encoded:
        throw TransportError(TransportError::badServerResponse,
                             descriptionFor(TransportError::badServerResponse, {}));
    case Ending::cancelled:
        throw TaskCancelled();
    case Ending::deadline:
    case Ending::idle:
        throw TransportError(TransportError::timedOut, descriptionFor(TransportError::timedOut, {}));
    case Ending::tooLarge:
        throw TransportError(TransportError::dataLengthExceedsMaximum,
                             descriptionFor(TransportError::dataLengthExceedsMaximum, {}));
    case Ending::none:
        break;
    }

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Qt turns HTTP error statuses into content, protocol and server errors; those still carry an
    // answer. Connection and proxy errors, and a broken protocol exchange, mean there is no
    // complete answer, even when a status line arrived before the connection broke.
    const int error = reply->error();
    const bool incomplete = (error >= 1 && error <= 199) || error == QNetworkReply::ProtocolFailure ||
                            error == QNetworkReply::UnknownNetworkError;
    if (error != QNetworkReply::NoError && (incomplete || !status.isValid())) {
        const auto code = codeFor(reply->error());
        throw TransportError(code, descriptionFor(code, reply->errorString()));
    }
    if (body->size() + reply->bytesAvailable() > limit)
        throw TransportError(TransportError::dataLengthExceedsMaximum,
                             descriptionFor(TransportError::dataLengthExceedsMaximum, {}));
    body->append(reply->readAll());
    co_return HttpResponse{status.isValid() ? status.toInt() : 0, std::move(*body),
                           reply->rawHeader("Content-Type"), reply->url()};
}

} // namespace quillmere
