#include "platform/network/HttpTransport.h"

#include "platform/network/CurlMulti.h"
#include "platform/network/CurlTransfer.h"
#include "platform/tasks/TaskCancelled.h"

#include <QCoroSignal>
#include <QPointer>

#include <algorithm>
#include <memory>

namespace quillmere {

TransportError::TransportError(Code code, QString description, int status)
    : std::runtime_error(description.toStdString()), code_(code), description_(std::move(description)),
      status_(status) {}

namespace {

using Ending = CurlTransfer::Ending;

bool isSecureConnectionFailure(CURLcode result) {
    switch (result) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_USE_SSL_FAILED:
        return true;
    default:
        return false;
    }
}

// The code of a failure the library reported. A receive failure with no error from the system
// is the library refusing what it received (a chunk size that overflows, say), not a lost
// connection; and the library's own bound on one header line, overrun before the headers ended,
// is the header section growing without end.
TransportError::Code codeFor(const CurlTransfer& transfer) {
    if (isSecureConnectionFailure(transfer.result()))
        return TransportError::secureConnectionFailed;
    switch (transfer.result()) {
    case CURLE_URL_MALFORMAT:
        return TransportError::badURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return TransportError::cannotFindHost;
    case CURLE_COULDNT_CONNECT:
        return TransportError::cannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
        return TransportError::timedOut;
    case CURLE_RECV_ERROR:
        return transfer.systemError() == 0 ? TransportError::badServerResponse
                                           : TransportError::networkConnectionLost;
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return TransportError::networkConnectionLost;
    case CURLE_OUT_OF_MEMORY:
        return transfer.headersArrived() ? TransportError::unknown : TransportError::timedOut;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_UNSUPPORTED_PROTOCOL: // only http and https get here: an answer that is not HTTP
    case CURLE_HTTP3:
        return TransportError::badServerResponse;
    case CURLE_FILESIZE_EXCEEDED:
        return TransportError::dataLengthExceedsMaximum;
    default:
        return TransportError::unknown;
    }
}

TransportError::Code codeFor(Ending ending) {
    switch (ending) {
    case Ending::deadline:
    case Ending::idle:
    // A header section that grows without end is an answer that never arrives.
    case Ending::headersTooLarge:
        return TransportError::timedOut;
    case Ending::tooLarge:
        return TransportError::dataLengthExceedsMaximum;
    case Ending::encoded:
    case Ending::malformed:
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
        return QStringLiteral("The server returned a bad response.");
    default:
        return fallback;
    }
}

TransportError failure(TransportError::Code code, const QString& fallback = {}, int status = 0) {
    return TransportError(code, descriptionFor(code, fallback), status);
}

// The answer of a transfer that has ended, or the failure it ended with.
HttpResponse answerOf(CurlTransfer& transfer, const QUrl& url) {
    if (transfer.ending() == Ending::cancelled)
        throw TaskCancelled();
    if (transfer.ending() != Ending::library)
        throw failure(codeFor(transfer.ending()), {}, transfer.status());
    if (transfer.result() != CURLE_OK)
        throw failure(codeFor(transfer), transfer.detail(), transfer.status());
    // Redirects are not followed, so the URL that answered is the one asked.
    return HttpResponse{transfer.status(), transfer.takeBody(), transfer.contentType(), url};
}

// A header whose name or value holds a line break (or a NUL, which ends it early) would reach
// the wire as more than the one header asked for.
bool breaksTheLine(const std::pair<QByteArray, QByteArray>& header) {
    const auto breaks = [](const QByteArray& text) {
        return text.contains('\r') || text.contains('\n') || text.contains('\0');
    };
    return breaks(header.first) || breaks(header.second);
}

// Transfers go with deleteLater: the one that has just ended may still be delivering its signal.
struct Later {
    void operator()(QObject* object) const { object->deleteLater(); }
};

} // namespace

NetworkTransport::NetworkTransport() {
    if (CurlMulti::resolvesAsynchronously())
        multi_ = std::make_unique<CurlMulti>(
            [](CURL* easy, CURLcode result) { CurlTransfer::of(easy)->finish(result); });
    else
        qCritical("HTTP: the HTTP library cannot look names up without blocking; every request fails");
}

NetworkTransport::~NetworkTransport() = default;

HttpTransport& HttpTransport::shared() {
    // Deliberately never destroyed: transfers may still reference it while the process exits.
    static auto* transport = new NetworkTransport();
    return *transport;
}

QCoro::Task<HttpResponse> NetworkTransport::send(HttpRequest request, CancelToken token) {
    if (token.isCancelled())
        throw TaskCancelled();
    if (!request.url.isValid() || request.url.scheme().isEmpty())
        throw failure(TransportError::badURL);
    const QString scheme = request.url.scheme().toLower();
    if (scheme != u"http" && scheme != u"https")
        throw failure(TransportError::unsupportedURL, QStringLiteral("unsupported URL"));
    // "http:/127.0.0.1/" names no host, though the library would read one from it.
    if (request.url.host().isEmpty())
        throw failure(TransportError::badURL);
    if (std::any_of(request.headers.begin(), request.headers.end(), breaksTheLine))
        throw failure(TransportError::unknown, QStringLiteral("A request header holds a line break."));
    if (!multi_)
        throw failure(TransportError::unknown,
                      QStringLiteral("The HTTP library would block the application."));

    const std::unique_ptr<CurlTransfer, Later> transfer(new CurlTransfer(*multi_, request));
    if (!transfer->start())
        throw failure(TransportError::unknown, QStringLiteral("The request could not be started."));
    const quint64 cancelHandle = token.onCancel([ending = QPointer<CurlTransfer>(transfer.get())] {
        if (ending)
            ending->end(Ending::cancelled);
    });
    if (!transfer->hasEnded())
        co_await qCoro(transfer.get(), &CurlTransfer::ended);
    token.removeCallback(cancelHandle);
    co_return answerOf(*transfer, request.url);
}

} // namespace quillmere
