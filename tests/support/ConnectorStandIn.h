#pragma once

// A stand-in for the connector service on 127.0.0.1 and a free port: one synthetic account, one
// one-use pairing code, one inbox item whose model family is "Claude Sonnet", acknowledgement and
// device revocation. The connector HTTP check suite runs against it in tests and CI. Switches
// make it misbehave the ways the suite must notice.

#include <httplib.h>

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QString>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace quillmere::testing {

class ConnectorStandIn {
public:
    static inline const std::string accountRef = "5eed5eed5eed5eed";
    static inline const std::string itemID = "3f2c9d2e-8a4b-4f61-9b7e-2d1c0a5e7f41";
    static inline const std::string policySource = "quillmere_backend_advisory_v1";

    // Misbehaviours.
    std::atomic<bool> neverDeliver{false}; // the inbox stays empty
    std::atomic<bool> keepTokenAfterRevoke{false};
    std::atomic<bool> refuseClaim{false};

    ConnectorStandIn() : pairingCode_(randomToken()) {
        server_.set_keep_alive_max_count(1);
        server_.Post("/widget/claim", [this](const httplib::Request& request, httplib::Response& response) {
            claim(request, response);
        });
        server_.Get("/widget/inbox", [this](const httplib::Request& request, httplib::Response& response) {
            inbox(request, response);
        });
        server_.Post("/widget/ack", [this](const httplib::Request& request, httplib::Response& response) {
            acknowledge(request, response);
        });
        server_.Delete("/widget/device", [this](const httplib::Request& request,
                                                httplib::Response& response) { revoke(request, response); });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~ConnectorStandIn() {
        server_.stop();
        if (thread_.joinable())
            thread_.join();
    }
    ConnectorStandIn(const ConnectorStandIn&) = delete;
    ConnectorStandIn& operator=(const ConnectorStandIn&) = delete;

    QString origin() const { return QStringLiteral("http://127.0.0.1:%1").arg(port_); }
    QString pairingCode() const { return QString::fromStdString(pairingCode_); }

    // The suite's fixture for this service.
    QByteArray fixture(bool withExpectedSource = true, int waitSeconds = 5) const {
        QJsonObject object{
            {"origin", origin()}, {"pairing_code", pairingCode()}, {"wait_seconds", waitSeconds}};
        if (withExpectedSource)
            object.insert("expected_policy_source", QString::fromStdString(policySource));
        return QJsonDocument(object).toJson();
    }

    bool deviceRevoked() const {
        std::lock_guard lock(mutex_);
        return claimed_ && !active_.count(deviceToken_);
    }
    int claims() const {
        std::lock_guard lock(mutex_);
        return claimCount_;
    }

private:
    static std::string randomToken() {
        static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
        std::string token;
        for (int i = 0; i < 43; ++i)
            token += alphabet[QRandomGenerator::system()->bounded(64)];
        return token;
    }

    static void json(httplib::Response& response, int status, const QJsonObject& object) {
        response.status = status;
        response.set_content(QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(),
                             "application/json");
    }

    // The bearer token when it names an active device; empty otherwise.
    std::string device(const httplib::Request& request) const {
        const std::string header = request.get_header_value("Authorization");
        const std::string prefix = "Bearer ";
        if (header.rfind(prefix, 0) != 0)
            return {};
        const std::string token = header.substr(prefix.size());
        std::lock_guard lock(mutex_);
        return active_.count(token) ? token : std::string();
    }

    void claim(const httplib::Request& request, httplib::Response& response) {
        const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
        std::lock_guard lock(mutex_);
        ++claimCount_;
        if (refuseClaim || claimed_ || body.value("pairing_code").toString().toStdString() != pairingCode_) {
            json(response, 401, {{"error", "invalid_code"}});
            return;
        }
        claimed_ = true; // one use
        deviceToken_ = randomToken();
        active_.insert(deviceToken_);
        pending_ = {itemID};
        const QString expiry = QDateTime::currentDateTimeUtc().addSecs(3600).toString(
            QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
        json(response, 200,
             {{"device_token", QString::fromStdString(deviceToken_)},
              {"account_ref", QString::fromStdString(accountRef)},
              {"account_source", "local_test"},
              {"expires_at", expiry}});
    }

    void inbox(const httplib::Request& request, httplib::Response& response) {
        if (device(request).empty()) {
            json(response, 401, {{"error", "unauthorized"}});
            return;
        }
        QJsonArray items;
        std::lock_guard lock(mutex_);
        if (!neverDeliver && pending_.count(itemID))
            items.append(
                QJsonObject{{"id", QString::fromStdString(itemID)},
                            {"provider", "anthropic"},
                            {"policy_source", QString::fromStdString(policySource)},
                            {"model_family", "Claude Sonnet"},
                            {"reasoning", "Medium"},
                            {"rationale", "Fits a multi-file refactor with tests; a lighter model would "
                                          "lose track of the call sites."},
                            {"availability_verified", false}});
        json(response, 200, {{"account_ref", QString::fromStdString(accountRef)}, {"items", items}});
    }

    void acknowledge(const httplib::Request& request, httplib::Response& response) {
        if (device(request).empty()) {
            json(response, 401, {{"error", "unauthorized"}});
            return;
        }
        const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
        std::lock_guard lock(mutex_);
        for (const QJsonValue& id : body.value("ids").toArray())
            pending_.erase(id.toString().toStdString());
        json(response, 200, {{"acknowledged", true}});
    }

    void revoke(const httplib::Request& request, httplib::Response& response) {
        const std::string token = device(request);
        if (token.empty()) {
            json(response, 401, {{"error", "unauthorized"}});
            return;
        }
        std::lock_guard lock(mutex_);
        if (!keepTokenAfterRevoke)
            active_.erase(token);
        json(response, 200, {{"revoked", true}});
    }

    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    const std::string pairingCode_;
    mutable std::mutex mutex_;
    bool claimed_ = false;
    int claimCount_ = 0;
    std::string deviceToken_;
    std::set<std::string> active_;
    std::set<std::string> pending_;
};

} // namespace quillmere::testing
