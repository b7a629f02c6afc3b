#include "platform/network/HttpTransport.h"

#include "platform/tasks/TaskCancelled.h"

#include <QCoroNetworkReply>
#include <QDir>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
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

QNetworkAccessManager* makeManager(bool ephemeral) {
    auto* manager = new QNetworkAccessManager();
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    if (ephemeral) {
        manager->setCookieJar(nullptr);
        manager->setCache(nullptr);
    }
    return manager;
}

// Whether the answer's body is in an encoding other than identity.
bool isEncoded(const QNetworkReply& reply) {
    const QByteArray encoding = reply.rawHeader("Content-Encoding").trimmed().toLower();
    return !encoding.isEmpty() && encoding != "identity";
}

// Whether the socket `fd` is a TCP connection to `address` port `port`.
bool connectedTo(int fd, const QHostAddress& address, quint16 port) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return false;
    QHostAddress peerAddress;
    quint16 peerPort = 0;
    if (peer.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&peer);
        peerAddress = QHostAddress(ntohl(in->sin_addr.s_addr));
        peerPort = ntohs(in->sin_port);
    } else if (peer.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&peer);
        peerAddress = QHostAddress(in6->sin6_addr.s6_addr);
        peerPort = ntohs(in6->sin6_port);
    } else {
        return false;
    }
    return peerPort == port && peerAddress.isEqual(address, QHostAddress::TolerantConversion);
}

// Ends, at the socket, every connection of this process to one of `addresses` on `port`. Qt's
// network thread parses an answer's header section for as long as bytes keep arriving, and an
// abort cannot reach it meanwhile: a server that never ends its headers would keep the thread
// busy (and every later request waiting) for as long as it likes. Once its socket is shut down
// the parse ends, the abort is processed and the connection is released.
void shutDownConnections(const QList<QHostAddress>& addresses, quint16 port) {
    if (addresses.isEmpty())
        return;
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    const QStringList entries = descriptors.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool ok = false;
        const int fd = entry.toInt(&ok);
        struct stat status {};
        if (!ok || ::fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode))
            continue;
        int type = 0;
        socklen_t length = sizeof type;
        if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
            continue;
        for (const QHostAddress& address : addresses)
            if (connectedTo(fd, address, port)) {
                ::shutdown(fd, SHUT_RDWR);
                break;
            }
    }
}

// Shuts down the connections an abandoned request may still hold to its server: at once for an
// address, after an asynchronous look-up for a host name.
void releaseConnections(const QUrl& url) {
    const int defaultPort = url.scheme() == u"https" ? 443 : 80;
    const quint16 port = quint16(url.port(defaultPort));
    const QString host = url.host();
    if (QHostAddress address; address.setAddress(host)) {
        shutDownConnections({address}, port);
        return;
    }
    QHostInfo::lookupHost(host,
                          [port](const QHostInfo& info) { shutDownConnections(info.addresses(), port); });
}

} // namespace

NetworkTransport::NetworkTransport() : manager_(makeManager(false)), ephemeralManager_(makeManager(true)) {}

NetworkTransport::~NetworkTransport() {
    delete manager_;
    delete ephemeralManager_;
}

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

    QNetworkAccessManager* manager = request.ephemeral ? ephemeralManager_ : manager_;
    QPointer<QNetworkReply> reply = manager->sendCustomRequest(networkRequest, request.method, request.body);
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> owner(
        reply.data(), [](QNetworkReply* r) { r->deleteLater(); });

    enum class Ending { none, deadline, idle, cancelled, tooLarge, encoded };
    auto ending = std::make_shared<Ending>(Ending::none);
    auto body = std::make_shared<QByteArray>();
    const qint64 limit = request.maxResponseBytes;

    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, ending, limit] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > limit && *ending == Ending::none) {
            *ending = Ending::tooLarge;
            reply->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, ending, body, limit] {
        if (*ending != Ending::none)
            return;
        if (body->size() + reply->bytesAvailable() > limit) {
            *ending = Ending::tooLarge;
            reply->abort();
            return;
        }
        body->append(reply->readAll());
    });

    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, reply, [reply, ending] {
        if (*ending == Ending::none) {
            *ending = Ending::deadline;
            reply->abort();
        }
    });
    deadline.start(std::chrono::milliseconds(qint64(request.timeoutSeconds * 1000)));

    const quint64 cancelHandle = token.onCancel([reply, ending] {
        if (reply && *ending == Ending::none) {
            *ending = Ending::cancelled;
            reply->abort();
        }
    });

    if (!reply->isFinished())
        co_await qCoro(reply.data()).waitForFinished(std::chrono::milliseconds(-1));
    token.removeCallback(cancelHandle);
    deadline.stop();

    // Qt's transfer timeout aborts the reply itself, and such an abort reads as a cancellation.
    // Only an abort of ours is one: a server that went silent (or never finished its headers)
    // timed out, and whoever sent the request must be able to tell it from a request withdrawn.
    if (*ending == Ending::none && reply->error() == QNetworkReply::OperationCanceledError)
        *ending = Ending::idle;
    if (*ending == Ending::deadline || *ending == Ending::idle || *ending == Ending::cancelled)
        releaseConnections(request.url);
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
