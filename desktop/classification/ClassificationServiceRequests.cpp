// The request flow of the classification service: one POST per call, every exchange recorded in
// the widget's request log in order (begin, received, then exactly one of completed or failed)
// before the caller sees the result.

#include "desktop/classification/ClassificationService.h"

#include "core/Json.h"
#include "core/Text.h"
#include "desktop/classification/OpenAIRecommendationContract.h"
#include "desktop/classification/RequestCapture.h"
#include "desktop/classification/RequestLogStore.h"
#include "platform/config/Defaults.h"
#include "platform/tasks/TaskCancelled.h"

namespace quillmere {

namespace {

const QString recommendationOutcome = QStringLiteral("COMPLETED \u00B7 RECOMMENDATION");
const QString noRecommendationOutcome = QStringLiteral("COMPLETED \u00B7 NO RECOMMENDATION");

HttpRequest postRequest(const QUrl& url, const QByteArray& body) {
    HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.headers = {{"Content-Type", "application/json"}};
    request.body = body;
    request.timeoutSeconds = 60;
    request.maxResponseBytes = ClassificationService::maximumAnswerBytes;
    return request;
}

// An OpenAI 400 answer that names the classifier's size limit means the conversation is too big.
bool namesSizeLimit(const QByteArray& body) {
    const auto object = json::parseObject(body);
    if (!object)
        return false;
    const auto error = json::string(*object, QStringLiteral("error"));
    return error.isPresent() && error.value.contains(QLatin1String("exceeds the classifier size limit"));
}

} // namespace

QUrl ClassificationService::configuredEndpoint() {
    const QString fromEnvironment = qEnvironmentVariable(endpointEnvironmentVariable);
    if (!fromEnvironment.isEmpty())
        return QUrl(fromEnvironment);
    if (const auto configured = Defaults::standard().string(QString::fromLatin1(endpointDefaultsKey)))
        return QUrl(*configured);
    // No service is known until one is configured; this address never resolves.
    return QUrl(QStringLiteral("https://classification.quillmere.invalid/classify"));
}

QString ClassificationService::defaultCaptureRoot() {
    return RequestCapture::defaultRoot();
}

ClassificationService::ClassificationService(QUrl endpoint, std::shared_ptr<RequestLogStore> logStore,
                                             HttpTransport& transport, QString captureRoot)
    : endpoint_(std::move(endpoint)), logStore_(std::move(logStore)), transport_(&transport),
      captureRoot_(std::move(captureRoot)) {}

QString ClassificationService::conversationName(const Snapshot& snapshot) {
    const QString title = text::trimmed(snapshot.conversationTitle.value_or(QString()));
    if (title.isEmpty())
        return snapshot.conversationID;
    return title + QStringLiteral("  [") + snapshot.conversationID + QLatin1Char(']');
}

QUrl ClassificationService::openAIEndpoint(const QUrl& classifyURL) {
    QUrl url = classifyURL;
    QString path = url.path();
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    path = slash >= 0 ? path.left(slash + 1) : QStringLiteral("/");
    url.setPath(path + QStringLiteral("v1/recommendations/openai"));
    return url;
}

QCoro::Task<Recommendation> ClassificationService::classify(Snapshot snapshot, QString installID,
                                                            CancelToken token) const {
    if (snapshot.provider == AIProvider::openAI)
        co_return co_await classifyOpenAI(std::move(snapshot), token);

    const QByteArray body = claudeRequestBody(snapshot, installID, false);
    // The service may be destroyed while the answer is awaited (its widget goes, and the transfer
    // still ends on a later turn of the loop): past the await only this frame's own copies are used,
    // and the shared log stays alive with it.
    const std::shared_ptr<RequestLogStore> logStore = logStore_;
    std::optional<QUuid> entry;
    if (logStore)
        entry = logStore->begin(conversationName(snapshot), appName(snapshot.provider), endpoint_, body);

    HttpResponse answer;
    try {
        answer = co_await transport_->send(postRequest(endpoint_, body), token);
    } catch (const std::exception& error) {
        if (entry)
            logStore->failed(*entry, error);
        throw;
    }
    if (entry)
        logStore->received(*entry, answer.status, answer.body);

    if (answer.status < 200 || answer.status > 299) {
        const ServiceError error = ServiceError::badStatus(answer.status);
        if (entry)
            logStore->failed(*entry, error);
        throw error;
    }
    try {
        Recommendation recommendation = decodeClaude(answer.body, snapshot);
        if (entry)
            logStore->completed(*entry, recommendationOutcome);
        co_return recommendation;
    } catch (const ServiceError& error) {
        if (entry) {
            if (error.errorCase() == ServiceError::Case::abstained)
                logStore->completed(*entry, noRecommendationOutcome);
            else
                logStore->failed(*entry, error);
        }
        throw;
    } catch (const std::exception& error) {
        if (entry)
            logStore->failed(*entry, error);
        throw;
    }
}

QCoro::Task<Recommendation> ClassificationService::classifyOpenAI(Snapshot snapshot,
                                                                  CancelToken token) const {
    const OpenAIRecommendationContract::Request request = OpenAIRecommendationContract::request(snapshot);
    const bool hasUser =
        std::any_of(request.messages.begin(), request.messages.end(),
                    [](const auto& message) { return message.role == QLatin1String("user"); });
    if (!hasUser)
        throw ServiceError::contextTooLarge();
    const QUrl url = openAIEndpoint(endpoint_);
    const QByteArray body = request.encoded();

    // As in classify(): nothing of the service is touched once the answer is awaited.
    const std::shared_ptr<RequestLogStore> logStore = logStore_;
    std::optional<QUuid> entry;
    if (logStore)
        entry = logStore->begin(conversationName(snapshot), appName(snapshot.provider), url, body);
    const std::optional<RequestCapture> capture = RequestCapture::begin(body, url, captureRoot_);

    HttpResponse answer;
    try {
        answer = co_await transport_->send(postRequest(url, body), token);
    } catch (const std::exception& error) {
        if (capture)
            capture->failed();
        if (entry)
            logStore->failed(*entry, error);
        throw;
    }
    if (capture)
        capture->finish(answer.body, answer.status);
    if (entry)
        logStore->received(*entry, answer.status, answer.body);

    if (answer.status != 200) {
        const ServiceError error = answer.status == 400 && namesSizeLimit(answer.body)
                                       ? ServiceError::contextTooLarge()
                                       : ServiceError::badStatus(answer.status);
        if (entry)
            logStore->failed(*entry, error);
        throw error;
    }

    OpenAIRecommendationContract::Outcome outcome;
    try {
        outcome = OpenAIRecommendationContract::decode(answer.body, snapshot);
    } catch (const std::exception& error) {
        if (entry)
            logStore->failed(*entry, error);
        throw;
    }
    if (outcome.isAbstain()) {
        if (entry)
            logStore->completed(*entry, noRecommendationOutcome);
        throw ServiceError::abstained(outcome.reason, outcome.metadata);
    }
    if (entry)
        logStore->completed(*entry, recommendationOutcome);
    co_return *outcome.recommendation;
}

} // namespace quillmere
