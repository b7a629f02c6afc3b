#pragma once

// The records that cross the connector's boundary: the stored credential, the pairing-claim reply
// and the inbox, with their strict JSON forms, and the connector's failure cases.
//
// Decoding is strict: a missing or mistyped required key throws DecodingError, which callers keep
// apart from ConnectorFailure (a malformed answer is a transient fault, not a refusal).

#include "desktop/classification/ContractDecoding.h"
#include "desktop/records/ConnectorGuidance.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <exception>

namespace quillmere {

struct ConnectorCredential {
    QString origin;
    QString device_token;
    QString account_ref;
    QString account_source;
    QString expires_at;

    bool operator==(const ConnectorCredential&) const = default;

    // Compact JSON with exactly the five keys.
    QByteArray encoded() const;
    // Throws DecodingError.
    static ConnectorCredential decode(const QByteArray& bytes);
};

// The reply of POST "/widget/claim".
struct Claim {
    QString device_token;
    QString account_ref;
    QString account_source;
    QString expires_at;

    // Throws DecodingError.
    static Claim decode(const QByteArray& bytes);
    ConnectorCredential credential(const QString& origin) const;
};

struct ConnectorInbox {
    QString account_ref;
    QList<ConnectorGuidance> items; // oldest first; the last is the newest

    // Throws DecodingError.
    static ConnectorInbox decode(const QByteArray& bytes);
};

// Throws DecodingError.
ConnectorGuidance decodeGuidance(const QJsonObject& object);

class ConnectorFailure : public std::exception {
public:
    enum Kind { invalidOrigin, invalidCredential, invalidResponse, unauthorized, rejected, keychain };

    explicit ConnectorFailure(Kind kind) : kind_(kind) {}
    Kind kind() const { return kind_; }
    const char* what() const noexcept override { return name(kind_); }
    static const char* name(Kind kind);
    bool operator==(const ConnectorFailure& other) const { return kind_ == other.kind_; }

private:
    Kind kind_;
};

} // namespace quillmere
