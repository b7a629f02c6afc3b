#include "ConnectorTestSupport.h"

#include "desktop/connector/ConnectorRelease.h"
#include "platform/config/BundleInfo.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

using namespace quillmere;
using namespace quillmere::testing;

namespace {

const ConnectorPolicy local = ConnectorOriginPolicy();
const ConnectorPolicy hosted = ConnectorOriginPolicy(QStringLiteral("https://connector.example.com"));

std::optional<ConnectorFailure::Kind> credentialFailure(const ConnectorCredential& c,
                                                        const ConnectorPolicy& policy = local,
                                                        const QDateTime& now = testNow()) {
    try {
        ConnectorBoundary::validate(c, c.origin, now, policy);
        return std::nullopt;
    } catch (const ConnectorFailure& failure) {
        return failure.kind();
    }
}

bool inboxAccepted(const QByteArray& body, const ConnectorPolicy& policy = local) {
    try {
        ConnectorBoundary::validate(ConnectorInbox::decode(body), credential(), policy);
        return true;
    } catch (const ConnectorFailure&) {
        return false;
    }
}

} // namespace

TEST(ConnectorBoundary, TokensAreExactlyFortyThreeBase64UrlCharacters) {
    EXPECT_TRUE(ConnectorBoundary::validToken(QString(43, u'a')));
    EXPECT_TRUE(ConnectorBoundary::validToken(QString(21, u'-') + QString(21, u'_') + u'9'));
    for (const QString& bad : {QString(42, u'a'), QString(44, u'a'), QString(42, u'a') + u'+',
                               QString(42, u'a') + u'/', QString(42, u'a') + u'=', QString(42, u'a') + u'é',
                               QString(42, u'a') + u'\n', QStringLiteral("bad\n")})
        EXPECT_FALSE(ConnectorBoundary::validToken(bad)) << bad.toStdString();
    EXPECT_EQ(ConnectorEditing::pairingCode(QStringLiteral("  ") + QString(43, u'a') + u'\n'),
              QString(43, u'a'));
    EXPECT_FALSE(ConnectorEditing::pairingCode(QString(21, u'a') + u' ' + QString(21, u'b')));
    EXPECT_FALSE(ConnectorEditing::pairingCode(QString()));
}

TEST(ConnectorBoundary, CredentialRulesInOrder) {
    EXPECT_FALSE(credentialFailure(credential()));
    EXPECT_EQ(credentialFailure(credential(), std::nullopt), ConnectorFailure::invalidOrigin);
    ConnectorCredential c = credential();
    c.origin = QStringLiteral("http://127.0.0.1:80");
    EXPECT_EQ(credentialFailure(c), ConnectorFailure::invalidOrigin);
    try {
        ConnectorBoundary::validate(credential(), QStringLiteral("http://127.0.0.1:18889"), testNow(), local);
        FAIL() << "another origin was accepted";
    } catch (const ConnectorFailure& failure) {
        EXPECT_EQ(failure.kind(), ConnectorFailure::invalidCredential);
    }
    for (const QString& account : {QStringLiteral("0123456789ABCDEF"), QStringLiteral("0123456789abcde"),
                                   QStringLiteral("0123456789abcdef0")}) {
        c = credential();
        c.account_ref = account;
        EXPECT_EQ(credentialFailure(c), ConnectorFailure::invalidCredential);
    }
    EXPECT_EQ(credentialFailure(credential(token43, "quillmere_oauth")), ConnectorFailure::invalidCredential);
    c = credential(token43, "local_test");
    c.origin = QStringLiteral("https://connector.example.com");
    EXPECT_EQ(credentialFailure(c, hosted), ConnectorFailure::invalidCredential);
    c.account_source = QStringLiteral("quillmere_oauth");
    EXPECT_FALSE(credentialFailure(c, hosted));
}

TEST(ConnectorBoundary, ExpiryNeedsAFractionAndLiesWithinADayAndFiveSeconds) {
    const auto withExpiry = [](const QString& expiry) {
        ConnectorCredential c = credential();
        c.expires_at = expiry;
        return credentialFailure(c);
    };
    // now = 2026-01-15T12:00:00Z
    EXPECT_FALSE(withExpiry(QStringLiteral("2026-01-16T12:00:05.000Z")));       // exactly 86405 s
    EXPECT_TRUE(withExpiry(QStringLiteral("2026-01-16T12:00:06.000Z")));        // 86406 s
    EXPECT_TRUE(withExpiry(QStringLiteral("2026-01-15T12:00:00.000Z")));        // equal to now
    EXPECT_FALSE(withExpiry(QStringLiteral("2026-01-15T12:00:00.000000001Z"))); // a nanosecond later
    EXPECT_TRUE(withExpiry(QStringLiteral("2026-01-15T18:00:00Z")));            // no fraction
    EXPECT_FALSE(withExpiry(QStringLiteral("2026-01-15T20:00:00.5+02:00")));    // 18:00 UTC
    EXPECT_TRUE(withExpiry(QStringLiteral("2026-01-15T20:00:00.5+0200")));
    EXPECT_TRUE(withExpiry(QStringLiteral("2026-02-30T10:00:00.000Z"))); // no such date
    EXPECT_TRUE(withExpiry(QStringLiteral("2026-01-15T24:00:00.000Z")));
    EXPECT_TRUE(withExpiry(QStringLiteral("2026-01-15T18:00:00.1234567890Z"))); // ten digits
    EXPECT_TRUE(withExpiry(QStringLiteral("2126-01-15T18:00:00.000Z")));        // far future
    EXPECT_TRUE(withExpiry(QStringLiteral("２026-01-15T18:00:00.000Z")));       // non-ASCII digit
}

TEST(ConnectorBoundary, InboxRulesRefuseTheWholeInbox) {
    EXPECT_TRUE(inboxAccepted(inboxBody({})));
    QList<QJsonObject> fifty;
    for (int i = 0; i < 50; ++i)
        fifty.append(item(uuid(i)));
    EXPECT_TRUE(inboxAccepted(inboxBody(fifty)));
    fifty.append(item(uuid(50)));
    EXPECT_FALSE(inboxAccepted(inboxBody(fifty)));
    EXPECT_FALSE(inboxAccepted(inboxBody({item(uuid(1))}, "wrong")));

    const auto with = [](const char* key, const QJsonValue& value) {
        QJsonObject i = item(uuid(1));
        i[key] = value;
        return inboxBody({item(uuid(2)), i});
    };
    EXPECT_FALSE(inboxAccepted(with("availability_verified", true)));
    EXPECT_FALSE(inboxAccepted(with("savings_claim", "")));
    EXPECT_TRUE(inboxAccepted(with("savings_claim", QJsonValue::Null)));
    EXPECT_TRUE(inboxAccepted(with("reasoning", "")));
    EXPECT_FALSE(inboxAccepted(with("model_family", "")));
    EXPECT_FALSE(inboxAccepted(with("rationale", "")));
    EXPECT_FALSE(inboxAccepted(with("id", "not-a-uuid")));
    EXPECT_FALSE(inboxAccepted(with("provider", "mistral")));
    EXPECT_FALSE(inboxAccepted(with("policy_source", "unreviewed_engine")));
    // Lengths are counted in user-perceived characters: 100 family emoji pass, 101 do not.
    const QString family = QStringLiteral("👨‍👩‍👧");
    EXPECT_TRUE(inboxAccepted(with("model_family", family.repeated(100))));
    EXPECT_FALSE(inboxAccepted(with("model_family", family.repeated(101))));
    EXPECT_TRUE(inboxAccepted(with("rationale", QString(1000, u'x'))));
    EXPECT_FALSE(inboxAccepted(with("rationale", QString(1001, u'x'))));
    EXPECT_FALSE(inboxAccepted(with("reasoning", QString(101, u'x'))));

    // A hosted build takes only OpenAI items from the reviewed engine.
    QJsonObject openai = item(uuid(1));
    openai["provider"] = "openai";
    openai["policy_source"] = "quillmere_backend_advisory_v1";
    ConnectorCredential hostedCredential = credential(token43, "quillmere_oauth");
    const auto hostedAccepts = [&](const QJsonObject& i) {
        try {
            ConnectorBoundary::validate(ConnectorInbox::decode(inboxBody({i})), hostedCredential, hosted);
            return true;
        } catch (const ConnectorFailure&) {
            return false;
        }
    };
    EXPECT_TRUE(hostedAccepts(openai));
    EXPECT_FALSE(hostedAccepts(item(uuid(1))));
    EXPECT_TRUE(inboxAccepted(inboxBody({item(uuid(1))}))); // anthropic in a local build
}

// A whole-value pattern must not let a final line break through: a stored account reference with
// one would fail every later inbox check and keep the link reconnecting for good.
TEST(ConnectorBoundary, TrailingLineBreaksAreRefusedInEveryValidatedField) {
    using Edit = std::function<void(ConnectorCredential&, const QString&)>;
    const std::vector<std::pair<const char*, Edit>> credentialFields = {
        {"device_token", [](ConnectorCredential& c, const QString& end) { c.device_token += end; }},
        {"account_ref", [](ConnectorCredential& c, const QString& end) { c.account_ref += end; }},
        {"account_source", [](ConnectorCredential& c, const QString& end) { c.account_source += end; }},
        {"expires_at", [](ConnectorCredential& c, const QString& end) { c.expires_at += end; }},
        {"origin", [](ConnectorCredential& c, const QString& end) { c.origin += end; }},
    };
    const std::vector<const char*> itemFields = {"id", "provider", "policy_source"};
    for (const QString& end : {QStringLiteral("\n"), QStringLiteral("\r\n")}) {
        const std::string shown = end == u"\n" ? "\\n" : "\\r\\n";
        for (const auto& [field, edit] : credentialFields) {
            ConnectorCredential c = credential();
            edit(c, end);
            EXPECT_TRUE(credentialFailure(c)) << field << " + " << shown;
        }
        // The credential's own origin is fine; the one it is checked against carries the break.
        EXPECT_THROW(ConnectorBoundary::validate(credential(), localOrigin + end, testNow(), local),
                     ConnectorFailure)
            << "checked origin + " << shown;
        for (const char* field : itemFields) {
            QJsonObject i = item(uuid(1));
            i[field] = i[field].toString() + end;
            EXPECT_FALSE(inboxAccepted(inboxBody({i}))) << field << " + " << shown;
        }
        EXPECT_FALSE(inboxAccepted(inboxBody({item(uuid(1))}, QStringLiteral("0123456789abcdef") + end)))
            << "inbox account_ref + " << shown;
    }
}

TEST(ConnectorRecords, DecodingFailuresAreNotConnectorFailures) {
    const std::vector<QByteArray> malformed = {
        "",
        "[]",
        "null",
        "{\"account_ref\":\"0123456789abcdef\"}",
        "{\"account_ref\":\"0123456789abcdef\",\"items\":{}}",
        "{\"account_ref\":\"0123456789abcdef\",\"items\":[1]}",
        "{\"account_ref\":7,\"items\":[]}",
        inboxBody({item(uuid(1))}).replace("false", "0"),
        inboxBody({item(uuid(1))}).replace(",\"reasoning\":\"High\"", ""),
    };
    for (const QByteArray& body : malformed)
        EXPECT_THROW(ConnectorInbox::decode(body), DecodingError) << body.toStdString();
    EXPECT_THROW(Claim::decode("{\"device_token\":null}"), DecodingError);
    const ConnectorCredential c = credential();
    EXPECT_EQ(ConnectorCredential::decode(c.encoded()), c);
    EXPECT_EQ(c.encoded(), QByteArray("{\"origin\":\"http:\\/\\/127.0.0.1:18888\",\"device_token\":\"") +
                               token43.toLatin1() +
                               "\",\"account_ref\":\"0123456789abcdef\",\"account_source\":\"local_test\","
                               "\"expires_at\":\"2026-01-16T11:00:00.000Z\"}");
}

TEST(ConnectorRelease, PolicyAndServiceFollowTheBundle) {
    QTemporaryDir folder;
    const auto bundle = [&folder](const QString& value) {
        const QString path = folder.filePath(QStringLiteral("Info.plist"));
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(
            ("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>" + value + "</dict></plist>").toUtf8());
        file.close();
        return BundleInfo::load(path);
    };
    const ConnectorPolicy none = ConnectorRelease::policyFor(bundle(QString()));
    EXPECT_EQ(buildMode(none), ConnectorBuildMode::local);
    EXPECT_TRUE(ConnectorKeychain::serviceFor(none).endsWith(".desktop.connector.local.v1"));
    const ConnectorPolicy good = ConnectorRelease::policyFor(
        bundle("<key>QuillmereConnectorHostedOrigin</key><string>https://connector.example.com</string>"));
    EXPECT_EQ(buildMode(good), ConnectorBuildMode::hosted);
    EXPECT_TRUE(ConnectorKeychain::serviceFor(good).endsWith(".desktop.connector.hosted.v1"));
    for (const QString& bad :
         {QStringLiteral("<string>https://Connector.example.com</string>"),
          QStringLiteral("<string>http://connector.example.com</string>"), QStringLiteral("<true/>"),
          QStringLiteral("<dict/>"), QStringLiteral("<integer>1</integer>")}) {
        const ConnectorPolicy policy =
            ConnectorRelease::policyFor(bundle("<key>QuillmereConnectorHostedOrigin</key>" + bad));
        EXPECT_EQ(buildMode(policy), ConnectorBuildMode::invalid) << bad.toStdString();
        EXPECT_TRUE(ConnectorKeychain::serviceFor(policy).endsWith(".desktop.connector.invalid.v1"));
    }
}
