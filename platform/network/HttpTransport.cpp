#include "platform/network/HttpTransport.h"

#include "platform/tasks/TaskCancelled.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <memory>

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
    for (const auto& [name, value] : request.headers)
        networkRequest.setRawHeader(name, value);
    if (request.idleTimeoutSeconds > 0)
        networkRequest.setTransferTimeout(int(request.idleTimeoutSeconds * 1000));

    QNetworkAccessManager* manager = request.ephemeral ? ephemeralManager_ : manager_;
    QPointer<QNetworkReply> reply = manager->sendCustomRequest(networkRequest, request.method, request.body);
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> owner(
        reply.data(), [](QNetworkReply* r) { r->deleteLater(); });

    enum class Ending { none, deadline, cancelled, tooLarge };
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

    switch (*ending) {
    case Ending::cancelled:
        throw TaskCancelled();
    case Ending::deadline:
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
