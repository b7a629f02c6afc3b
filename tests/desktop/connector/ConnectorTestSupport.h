#pragma once

// Shared pieces of the connector tests: a valid local credential and inbox items, a transport
// whose answers are scripted per endpoint (decoding and validation stay real), an in-memory
// credential storage and a view that records what the flows did.

#include "desktop/connector/ConnectorLinkFlows.h"
#include "platform/tasks/TaskCancelled.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <functional>
#include <map>
#include <vector>

namespace quillmere::testing {

inline const QString localOrigin = QStringLiteral("http://127.0.0.1:18888");
inline const QString token43 = QString(43, u'A');
inline const QString otherToken43 = QString(43, u'B');

inline QDateTime testNow() {
    return QDateTime(QDate(2026, 1, 15), QTime(12, 0), Qt::UTC);
}

inline ConnectorCredential credential(const QString& token = token43, const QString& source = "local_test") {
    return {localOrigin, token, QStringLiteral("0123456789abcdef"), source,
            QStringLiteral("2026-01-16T11:00:00.000Z")};
}

inline QJsonObject item(const QString& id, const QString& family = QStringLiteral("Claude Sonnet")) {
    return {{"id", id},
            {"provider", "anthropic"},
            {"policy_source", "local_placeholder_not_production"},
            {"model_family", family},
            {"reasoning", "High"},
            {"rationale", "Fits the task."},
            {"availability_verified", false}};
}

inline QByteArray inboxBody(const QList<QJsonObject>& items, const QString& account = "0123456789abcdef") {
    QJsonArray array;
    for (const QJsonObject& i : items)
        array.append(i);
    return QJsonDocument(QJsonObject{{"account_ref", account}, {"items", array}})
        .toJson(QJsonDocument::Compact);
}

inline QByteArray claimBody(const QString& token = token43) {
    return QJsonDocument(QJsonObject{{"device_token", token},
                                     {"account_ref", "0123456789abcdef"},
                                     {"account_source", "local_test"},
                                     {"expires_at", "2026-01-16T11:00:00.000Z"}})
        .toJson(QJsonDocument::Compact);
}

inline QString uuid(int n) {
    return QStringLiteral("00000000-0000-4000-8000-%1").arg(n, 12, 10, QLatin1Char('0'));
}

class RefusingHttp final : public HttpTransport {
public:
    QCoro::Task<HttpResponse> send(HttpRequest, CancelToken) override {
        throw TransportError(TransportError::cannotConnectToHost, QStringLiteral("no network in this test"));
        co_return HttpResponse{};
    }
};

// Answers per path, after an optional virtual delay; an answer may throw.
class ScriptedTransport final : public ConnectorTransport {
public:
    struct Answer {
        double delay = 0;
        std::function<QByteArray()> body;
    };
    struct Call {
        QString path;
        std::optional<QString> token;
        QByteArray body;
    };

    explicit ScriptedTransport(const Clock& clock, ConnectorPolicy policy = ConnectorOriginPolicy())
        : ConnectorTransport(std::move(policy), http_, clock) {}

    void answer(const QString& path, std::function<QByteArray()> body, double delay = 0) {
        answers_[path] = {delay, std::move(body)};
    }
    void answer(const QString& path, QByteArray body, double delay = 0) {
        answer(
            path, [body] { return body; }, delay);
    }
    void fail(const QString& path, ConnectorFailure::Kind kind, double delay = 0) {
        answer(
            path, [kind]() -> QByteArray { throw ConnectorFailure(kind); }, delay);
    }
    void timeOut(const QString& path) {
        answer(path, []() -> QByteArray {
            throw TransportError(TransportError::timedOut, QStringLiteral("The request timed out."));
        });
    }

    QCoro::Task<QByteArray> request(QString origin, QString path, QByteArray, std::optional<QString> token,
                                    std::optional<QByteArray> body, CancelToken cancel) override {
        ConnectorBoundary::validatedOrigin(policy(), origin);
        if (token && !ConnectorBoundary::validToken(*token))
            throw ConnectorFailure(ConnectorFailure::invalidCredential);
        calls.push_back({path, token, body.value_or(QByteArray())});
        const Answer answer = answers_.count(path) ? answers_[path] : Answer{0, [] { return QByteArray(); }};
        if (answer.delay > 0 && !co_await quillmere::sleep(answer.delay, cancel))
            throw TaskCancelled();
        co_return answer.body();
    }

    int count(const QString& path) const {
        int n = 0;
        for (const Call& call : calls)
            n += call.path == path;
        return n;
    }

    std::vector<Call> calls;

private:
    RefusingHttp http_;
    std::map<QString, Answer> answers_;
};

// The credential storage over an in-memory backend, answering at once or, with `holdSeconds`, after
// that many virtual seconds (the keychain call is pending meanwhile; its work is done when it
// answers).
class MemoryStorage final : public ConnectorCredentialStorage {
public:
    static inline const QString service = QStringLiteral("test.connector.v1");

    QCoro::Task<std::optional<ConnectorCredential>> load(bool allowInteraction) override {
        loads.push_back(allowInteraction);
        co_await hold();
        co_return ConnectorKeychain::load(backend, service, allowInteraction);
    }
    QCoro::Task<void> save(ConnectorCredential credential) override {
        co_await hold();
        ConnectorKeychain::save(backend, service, credential);
        saves.push_back(credential.device_token);
    }
    QCoro::Task<void> clear(bool allowInteraction) override {
        clears.push_back(allowInteraction);
        co_await hold();
        ConnectorKeychain::clear(backend, service, allowInteraction);
    }
    std::optional<ConnectorCredential> stored() const {
        const auto bytes = backend.value(service);
        return bytes ? std::optional(ConnectorCredential::decode(*bytes)) : std::nullopt;
    }

    MemorySecretBackend backend;
    std::vector<bool> loads;
    std::vector<bool> clears;
    std::vector<QString> saves; // the device token of each completed save, in order
    double holdSeconds = 0;

private:
    QCoro::Task<void> hold() const {
        if (holdSeconds > 0)
            co_await quillmere::sleep(holdSeconds);
    }
};

class MemoryPreferences final : public ConnectorLinkPreferences {
public:
    bool revocationPending() const override { return flag; }
    void setRevocationPending() override { flag = true; }
    void removeRevocationPending() override { flag = false; }
    bool flag = false;
};

class RecordingView final : public ConnectorLinkView {
public:
    QString originText() const override { return origin; }
    void setOriginText(const QString& text) override { origin = text; }
    QString codeText() const override { return code; }
    void setCodeText(const QString& text) override { code = text; }
    void focusCodeField() override { ++focused; }
    void setStatusText(const QString& text) override { status = text; }
    void setAccountText(const QString& text) override { account = text; }
    void setAdviceText(const QString& text) override { advice = text; }
    void setConnectEnabled(bool enabled) override { connectEnabled = enabled; }
    void setDisconnectEnabled(bool enabled) override { disconnectEnabled = enabled; }
    void mirrorStatus(const QString& text, bool clearAdvice) override {
        mirrors.push_back({text, clearAdvice});
    }
    void presentGuidance(const ConnectorGuidance& guidance) override { presented.push_back(guidance); }
    void collapseCard() override { ++collapsed; }
    std::optional<QString> pasteboardText() override { return pasteboard; }
    void openPage(const QUrl& page) override { opened.push_back(page); }

    QString origin = localOrigin;
    QString code;
    QString status;
    QString account;
    QString advice;
    bool connectEnabled = true;
    bool disconnectEnabled = false;
    int focused = 0;
    int collapsed = 0;
    std::vector<std::pair<QString, bool>> mirrors;
    std::vector<ConnectorGuidance> presented;
    std::optional<QString> pasteboard;
    std::vector<QUrl> opened;
};

} // namespace quillmere::testing
