#include "desktop/connector/ConnectorBoundary.h"

#include "core/Text.h"

#include <QDate>
#include <QRegularExpression>
#include <QStringList>

namespace quillmere {

namespace {

constexpr qint64 expiryAllowanceSeconds = 86405; // one day plus five seconds of clock skew
constexpr int maximumInboxItems = 50;
constexpr qsizetype maximumModelFamily = 100;
constexpr qsizetype maximumReasoning = 100;
constexpr qsizetype maximumRationale = 1000;

const QString advisorySource = QStringLiteral("quillmere_backend_advisory_v1");

QStringList acceptedAccountSources(ConnectorBuildMode mode) {
    if (mode == ConnectorBuildMode::hosted)
        return {QStringLiteral("quillmere_oauth")};
    return {QStringLiteral("google_oidc"), QStringLiteral("local_test"), QStringLiteral("development")};
}

QStringList acceptedProviders(ConnectorBuildMode mode) {
    if (mode == ConnectorBuildMode::hosted)
        return {QStringLiteral("openai")};
    return {QStringLiteral("openai"), QStringLiteral("anthropic")};
}

QStringList acceptedPolicySources(ConnectorBuildMode mode) {
    if (mode == ConnectorBuildMode::hosted)
        return {advisorySource};
    return {QStringLiteral("local_placeholder_not_production"), advisorySource};
}

[[noreturn]] void fail(ConnectorFailure::Kind kind) {
    throw ConnectorFailure(kind);
}

bool validItem(const ConnectorGuidance& item, ConnectorBuildMode mode) {
    // Anchored to the whole text: `$` alone would also match before a final line break.
    static const QRegularExpression uuid(QRegularExpression::anchoredPattern(
        QStringLiteral("[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}")));
    if (mode == ConnectorBuildMode::hosted &&
        (item.provider != u"openai" || item.policy_source != advisorySource))
        return false;
    if (!uuid.match(item.id).hasMatch())
        return false;
    if (!acceptedProviders(mode).contains(item.provider) ||
        !acceptedPolicySources(mode).contains(item.policy_source))
        return false;
    if (item.availability_verified || item.savings_claim)
        return false;
    const qsizetype family = text::characterCount(item.model_family);
    const qsizetype rationale = text::characterCount(item.rationale);
    return family >= 1 && family <= maximumModelFamily &&
           text::characterCount(item.reasoning) <= maximumReasoning && rationale >= 1 &&
           rationale <= maximumRationale;
}

} // namespace

ConnectorBuildMode buildMode(const ConnectorPolicy& policy) {
    if (!policy)
        return ConnectorBuildMode::invalid;
    return policy->hostedOrigin() ? ConnectorBuildMode::hosted : ConnectorBuildMode::local;
}

namespace ConnectorBoundary {

bool validToken(const QString& token) {
    if (token.size() != 43)
        return false;
    for (QChar c : token) {
        const char16_t u = c.unicode();
        const bool ok = (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z') || (u >= u'0' && u <= u'9') ||
                        u == u'_' || u == u'-';
        if (!ok)
            return false;
    }
    return true;
}

QString validatedOrigin(const ConnectorPolicy& policy, const QString& origin) {
    if (!policy)
        fail(ConnectorFailure::invalidOrigin);
    try {
        return policy->validate(origin);
    } catch (const ConnectorOriginError&) {
        fail(ConnectorFailure::invalidOrigin);
    }
}

std::optional<__int128> expiryInstant(const QString& text) {
    static const QRegularExpression form(QRegularExpression::anchoredPattern(
        QStringLiteral("([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})\\.([0-9]{1,9})(Z|("
                       "[+-])([0-9]{2}):([0-9]{2}))")));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const auto number = [&match](int group) { return match.capturedView(group).toInt(); };
    const QDate date(number(1), number(2), number(3));
    if (!date.isValid() || number(4) > 23 || number(5) > 59 || number(6) > 59)
        return std::nullopt;
    qint64 offsetSeconds = 0;
    if (match.capturedView(8) != u"Z") {
        if (number(10) > 23 || number(11) > 59)
            return std::nullopt;
        offsetSeconds = (qint64(number(10)) * 60 + number(11)) * 60;
        if (match.capturedView(9) == u"-")
            offsetSeconds = -offsetSeconds;
    }
    QString fraction = match.captured(7);
    fraction = fraction.leftJustified(9, u'0');
    const qint64 days = QDate(1970, 1, 1).daysTo(date);
    const qint64 seconds =
        days * 86400 + (qint64(number(4)) * 60 + number(5)) * 60 + number(6) - offsetSeconds;
    return __int128(seconds) * 1000000000 + fraction.toLongLong();
}

void validate(const ConnectorCredential& credential, const QString& origin, const QDateTime& now,
              const ConnectorPolicy& policy) {
    static const QRegularExpression accountRef(QRegularExpression::anchoredPattern(u"[a-f0-9]{16}"));
    validatedOrigin(policy, origin);
    if (credential.origin != origin || !validToken(credential.device_token) ||
        !accountRef.match(credential.account_ref).hasMatch() ||
        !acceptedAccountSources(buildMode(policy)).contains(credential.account_source))
        fail(ConnectorFailure::invalidCredential);
    const std::optional<__int128> expiry = expiryInstant(credential.expires_at);
    if (!expiry)
        fail(ConnectorFailure::invalidCredential);
    const __int128 nowNanos = __int128(now.toMSecsSinceEpoch()) * 1000000;
    const __int128 latest = nowNanos + __int128(expiryAllowanceSeconds) * 1000000000;
    if (*expiry <= nowNanos || *expiry > latest)
        fail(ConnectorFailure::invalidCredential);
}

void validate(const ConnectorInbox& inbox, const ConnectorCredential& credential,
              const ConnectorPolicy& policy) {
    const ConnectorBuildMode mode = buildMode(policy);
    if (inbox.account_ref != credential.account_ref || inbox.items.size() > maximumInboxItems)
        fail(ConnectorFailure::invalidResponse);
    for (const ConnectorGuidance& item : inbox.items)
        if (!validItem(item, mode))
            fail(ConnectorFailure::invalidResponse);
}

} // namespace ConnectorBoundary

namespace ConnectorEditing {

std::optional<QString> pairingCode(const QString& text) {
    QString code = text::trimmed(text);
    if (!ConnectorBoundary::validToken(code))
        return std::nullopt;
    return code;
}

} // namespace ConnectorEditing

} // namespace quillmere
