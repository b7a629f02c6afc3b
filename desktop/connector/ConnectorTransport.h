#pragma once

// The connector's HTTP client. It talks only to an origin the build's policy allows and only to
// the four widget endpoints, never follows a redirect, keeps no cookie, credential or cached
// answer, and turns every answer into its body or a ConnectorFailure. Transport faults (offline,
// time-out) propagate as TransportError, except one that ends an answer whose status, 401, had
// arrived (a body too large, compressed or badly framed): that is `unauthorized`. Malformed bodies
// propagate as DecodingError.

#include "desktop/connector/ConnectorBoundary.h"
#include "platform/network/HttpTransport.h"
#include "platform/tasks/Task.h"
#include "platform/time/Clock.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>
#include <optional>

namespace quillmere {

class ConnectorTransport {
public:
    static constexpr qint64 maximumAnswerBytes = 100000;
    static constexpr double idleTimeoutSeconds = 8;
    static constexpr double totalTimeoutSeconds = 10;

    ConnectorTransport(ConnectorPolicy policy, HttpTransport& http = HttpTransport::shared(),
                       const Clock& clock = Clock::system());
    virtual ~ConnectorTransport() = default;

    // The one request primitive. `method` is "GET", "POST" or "DELETE".
    virtual QCoro::Task<QByteArray> request(QString origin, QString path, QByteArray method,
                                            std::optional<QString> token, std::optional<QByteArray> body,
                                            CancelToken cancel = {});
    // POST "/widget/claim"; the credential is validated against `origin` and the current time.
    virtual QCoro::Task<ConnectorCredential> claim(QString origin, QString code, CancelToken cancel = {});
    // Validates the credential first (an expired one never reaches the network), then GET
    // "/widget/inbox", decoding and the inbox rules.
    virtual QCoro::Task<ConnectorInbox> inbox(ConnectorCredential credential, CancelToken cancel = {});
    // POST "/widget/ack" with {"ids": …}; the answer body is ignored.
    QCoro::Task<void> acknowledge(ConnectorCredential credential, QStringList ids, CancelToken cancel = {});
    // DELETE "/widget/device"; the answer body is ignored.
    QCoro::Task<void> revoke(ConnectorCredential credential, CancelToken cancel = {});

    const ConnectorPolicy& policy() const { return policy_; }
    const Clock& clock() const { return clock_; }

private:
    ConnectorPolicy policy_;
    HttpTransport& http_;
    const Clock& clock_;
};

} // namespace quillmere
