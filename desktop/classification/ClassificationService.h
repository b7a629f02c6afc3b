#pragma once

// The classification road's own contract rules for Claude hosts and the local OpenAI rule: the
// classify request body, the check that the host's current setting is one the client may vouch
// for, the answer decoder that turns the service's answer into a Recommendation checked against
// the host's model availability, and the errors the road throws.

#include "desktop/records/ConversationSnapshot.h"
#include "desktop/records/Recommendation.h"
#include "desktop/records/RoutingDecisionMetadata.h"
#include "platform/network/HttpTransport.h"
#include "platform/tasks/Task.h"
#include "platform/time/Clock.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>
#include <QUrl>
#include <exception>
#include <memory>
#include <optional>

namespace quillmere {

class RequestLogStore;

class ClassificationService {
public:
    using Snapshot = ClaudeWindowTrackerConversationSnapshot;

    // The errors the application itself raises on the classification road; compared by case and
    // payload.
    class ServiceError : public std::exception {
    public:
        enum class Case {
            abstained,
            badStatus,
            contextTooLarge,
            missingRecommendation,
            unsupportedCurrentSetting,
            availableSettingsUnavailable,
        };

        static ServiceError abstained(QString reason, std::optional<RoutingDecisionMetadata> metadata) {
            ServiceError error(Case::abstained);
            error.reason_ = std::move(reason);
            error.metadata_ = std::move(metadata);
            return error;
        }
        static ServiceError badStatus(int status) {
            ServiceError error(Case::badStatus);
            error.status_ = status;
            return error;
        }
        static ServiceError contextTooLarge() { return ServiceError(Case::contextTooLarge); }
        static ServiceError missingRecommendation() { return ServiceError(Case::missingRecommendation); }
        static ServiceError unsupportedCurrentSetting() {
            return ServiceError(Case::unsupportedCurrentSetting);
        }
        static ServiceError availableSettingsUnavailable() {
            return ServiceError(Case::availableSettingsUnavailable);
        }

        Case errorCase() const { return case_; }
        // The service's reason for an abstention; empty otherwise.
        const QString& reason() const { return reason_; }
        const std::optional<RoutingDecisionMetadata>& metadata() const { return metadata_; }
        // The HTTP status of badStatus; 0 otherwise.
        int status() const { return status_; }

        // The case name with its payload: "badStatus(500)", "contextTooLarge", "abstained(...)".
        QString describe() const;
        const char* what() const noexcept override;

        friend bool operator==(const ServiceError& a, const ServiceError& b) {
            return a.case_ == b.case_ && a.reason_ == b.reason_ && a.metadata_ == b.metadata_ &&
                   a.status_ == b.status_;
        }

    private:
        explicit ServiceError(Case c) : case_(c) {}
        Case case_;
        QString reason_;
        std::optional<RoutingDecisionMetadata> metadata_;
        int status_ = 0;
        mutable QByteArray what_;
    };

    // Throws availableSettingsUnavailable unless the snapshot is a Claude host whose current
    // setting was read reliably, has a model id, and is backed by model-availability evidence
    // that is still fresh at the clock's uptime.
    static void validateClaudeCurrent(const Snapshot& snapshot, const Clock& clock = Clock::system());

    // The compact JSON body of the classify request. Throws ServiceError when the current setting
    // cannot be vouched for, is a Haiku setting the client does not handle, or when the window
    // holds no user message.
    static QByteArray claudeRequestBody(const Snapshot& snapshot, const QString& installID,
                                        bool haiku55Enabled, const Clock& clock = Clock::system());

    // The recommendation in a Claude classify answer, checked against the snapshot the request
    // was built from. Throws ServiceError, or DecodingError for a malformed answer.
    static Recommendation decodeClaude(const QByteArray& body, const Snapshot& snapshot,
                                       const Clock& clock = Clock::system());

    // Whether a shown Claude recommendation is still one the host offers now.
    static bool claudeRecommendationIsAvailable(const Recommendation& recommendation,
                                                const Snapshot& snapshot,
                                                const Clock& clock = Clock::system());

    // A recommendation for an OpenAI host from the local routing rule, without the service.
    static Recommendation openAIRecommendation(const Snapshot& snapshot);

    // The service's reason trimmed, or a fixed text when it gave none.
    static QString cleanedReason(const std::optional<QString>& reason);

    // ---- The client of the classification service -------------------------------------------

    // The user default naming the classify URL, and the environment variable that overrides it.
    static constexpr const char* endpointDefaultsKey = "QuillmereClassificationServiceURL";
    static constexpr const char* endpointEnvironmentVariable = "QUILLMERE_CLASSIFICATION_URL";
    // The classify URL this installation is configured with.
    static QUrl configuredEndpoint();
    // Answers are small JSON objects; anything larger is refused while it arrives.
    static constexpr qint64 maximumAnswerBytes = 2 * 1024 * 1024;

    // `endpoint` is the classify URL; `logStore`, when given, records every exchange.
    explicit ClassificationService(QUrl endpoint, std::shared_ptr<RequestLogStore> logStore = {},
                                   HttpTransport& transport = HttpTransport::shared(),
                                   QString captureRoot = defaultCaptureRoot());

    // Builds the request for the snapshot's provider, posts it once, records the exchange in the
    // request log, and returns the checked recommendation. Throws ServiceError, the contracts'
    // errors, TransportError, or TaskCancelled when `token` is cancelled during the transfer.
    QCoro::Task<Recommendation> classify(Snapshot snapshot, QString installID, CancelToken token = {}) const;

    const QUrl& endpoint() const { return endpoint_; }
    // The conversation's label in the request log: the trimmed title and the key, or the key.
    static QString conversationName(const Snapshot& snapshot);
    // The OpenAI route's URL: the classify URL with its last path component replaced.
    static QUrl openAIEndpoint(const QUrl& classifyURL);

private:
    static QString defaultCaptureRoot();
    QCoro::Task<Recommendation> classifyOpenAI(Snapshot snapshot, CancelToken token) const;

    QUrl endpoint_;
    std::shared_ptr<RequestLogStore> logStore_;
    HttpTransport* transport_;
    QString captureRoot_;
};

} // namespace quillmere
