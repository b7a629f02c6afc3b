#include "desktop/connector/ConnectorTransport.h"

#include "core/Json.h"

#include <QStringList>
#include <QUrl>

namespace quillmere {

namespace {

const QStringList endpoints = {QStringLiteral("/widget/claim"), QStringLiteral("/widget/inbox"),
                               QStringLiteral("/widget/ack"), QStringLiteral("/widget/device")};

// The media type without parameters. Media types are case-insensitive, so "Application/JSON" is
// the same type; "application/problem+json" or a missing header is not.
bool isJSON(const QByteArray& contentType) {
    const QByteArray type = contentType.split(';').first().trimmed().toLower();
    return type == "application/json";
}

} // namespace

ConnectorTransport::ConnectorTransport(ConnectorPolicy policy, HttpTransport& http, const Clock& clock)
    : policy_(std::move(policy)), http_(http), clock_(clock) {}

QCoro::Task<QByteArray> ConnectorTransport::request(QString origin, QString path, QByteArray method,
                                                    std::optional<QString> token,
                                                    std::optional<QByteArray> body, CancelToken cancel) {
    const QString accepted = ConnectorBoundary::validatedOrigin(policy_, origin);
    if (!endpoints.contains(path))
        throw ConnectorFailure(ConnectorFailure::invalidOrigin);
    const QUrl url(accepted + path, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        throw ConnectorFailure(ConnectorFailure::invalidOrigin);

    HttpRequest request;
    request.method = method;
    request.url = url;
    request.body = body.value_or(QByteArray());
    request.timeoutSeconds = totalTimeoutSeconds;
    request.idleTimeoutSeconds = idleTimeoutSeconds;
    request.maxResponseBytes = maximumAnswerBytes;
    request.ephemeral = true;
    request.headers.append(std::pair<QByteArray, QByteArray>("Content-Type", "application/json"));
    if (token) {
        if (!ConnectorBoundary::validToken(*token))
            throw ConnectorFailure(ConnectorFailure::invalidCredential);
        request.headers.append(
            std::pair<QByteArray, QByteArray>("Authorization", "Bearer " + token->toLatin1()));
    }

    HttpResponse response;
    try {
        response = co_await http_.send(std::move(request), cancel);
    } catch (const TransportError& error) {
        // The status decides first: a 401 says the token is no longer valid whatever follows it,
        // a body over the limit, a compressed one or one whose framing is malformed alike.
        if (error.status() == 401)
            throw ConnectorFailure(ConnectorFailure::unauthorized);
        // Any other answer that announces or delivers more than the limit is refused while it
        // arrives.
        if (error.code() == TransportError::dataLengthExceedsMaximum)
            throw ConnectorFailure(ConnectorFailure::rejected);
        throw;
    }
    if (response.status == 0)
        throw ConnectorFailure(ConnectorFailure::invalidResponse);
    if (response.status == 401)
        throw ConnectorFailure(ConnectorFailure::unauthorized);
    if (response.status != 200 || (response.url.isValid() && response.url != url) ||
        response.body.size() > maximumAnswerBytes || !isJSON(response.contentType))
        throw ConnectorFailure(ConnectorFailure::rejected);
    co_return response.body;
}

QCoro::Task<ConnectorCredential> ConnectorTransport::claim(QString origin, QString code, CancelToken cancel) {
    const QByteArray body = json::write(json::Object{{QStringLiteral("pairing_code"), code},
                                                     {QStringLiteral("device_name"), "Quillmere Zudizur"}});
    const QByteArray answer =
        co_await request(origin, QStringLiteral("/widget/claim"), "POST", std::nullopt, body, cancel);
    ConnectorCredential credential = Claim::decode(answer).credential(origin);
    ConnectorBoundary::validate(credential, origin, clock_.now(), policy_);
    co_return credential;
}

QCoro::Task<ConnectorInbox> ConnectorTransport::inbox(ConnectorCredential credential, CancelToken cancel) {
    ConnectorBoundary::validate(credential, credential.origin, clock_.now(), policy_);
    const QByteArray answer = co_await request(credential.origin, QStringLiteral("/widget/inbox"), "GET",
                                               credential.device_token, std::nullopt, cancel);
    ConnectorInbox inbox = ConnectorInbox::decode(answer);
    ConnectorBoundary::validate(inbox, credential, policy_);
    co_return inbox;
}

QCoro::Task<void> ConnectorTransport::acknowledge(ConnectorCredential credential, QStringList ids,
                                                  CancelToken cancel) {
    json::Array array;
    for (const QString& id : ids)
        array.emplace_back(id);
    const QByteArray body = json::write(json::Object{{QStringLiteral("ids"), std::move(array)}});
    co_await request(credential.origin, QStringLiteral("/widget/ack"), "POST", credential.device_token, body,
                     cancel);
}

QCoro::Task<void> ConnectorTransport::revoke(ConnectorCredential credential, CancelToken cancel) {
    co_await request(credential.origin, QStringLiteral("/widget/device"), "DELETE", credential.device_token,
                     std::nullopt, cancel);
}

} // namespace quillmere
