#include "core/Json.h"
#include "core/OpenAIRouting.h"
#include "desktop/classification/OpenAIRecommendationContract.h"
#include "desktop/classification/RecommendationContext.h"

namespace quillmere::OpenAIRecommendationContract {

namespace {

json::Value settingJson(const Request::Setting& setting) {
    return json::Object{{QStringLiteral("model"), setting.model}, {QStringLiteral("effort"), setting.effort}};
}

} // namespace

Request request(const Snapshot& snapshot) {
    const RecommendationContext::Window window = RecommendationContext::window(snapshot);
    const QString scope = RecommendationContext::scopeID(snapshot);

    Request result;
    result.schemaVersion = 3;
    result.acceptedPolicyVersions = {QStringLiteral("task-catalog-live-v2"),
                                     QStringLiteral("task-catalog-live-v1")};
    result.provider = QStringLiteral("openai");
    result.surface = snapshot.provider == AIProvider::openAI ? QStringLiteral("chatgpt-desktop")
                                                             : QStringLiteral("claude-desktop");
    result.surfaceMode = snapshot.surfaceMode;
    result.conversationId = scope;
    result.historyComplete = window.historyComplete;
    result.availableMessageCount = window.availableMessageCount;
    for (const auto& message : window.messages)
        result.messages.push_back({message.role, message.text, scope});

    // On an ordinary chat surface the service only sees a current model the user could be
    // recommended there; on the work surface it sees the setting as read.
    if (snapshot.currentSettingKnown &&
        (snapshot.surfaceMode == QLatin1String("work") ||
         OpenAIRouting::chatCandidateModels().contains(snapshot.currentModel)))
        result.current = Request::Setting{snapshot.currentModel, snapshot.currentEffort};

    for (const auto& setting : snapshot.availableSettings)
        if (OpenAIRouting::supportsRecommendationTarget(setting.model, snapshot.surfaceMode))
            result.available.push_back({setting.model, setting.effort});
    for (const QString& model : snapshot.availableModels)
        if (OpenAIRouting::supportsRecommendationTarget(model, snapshot.surfaceMode))
            result.availableModels << model;
    return result;
}

QByteArray Request::encoded() const {
    json::Array policies;
    for (const QString& version : acceptedPolicyVersions)
        policies.push_back(version);
    json::Object object{
        {QStringLiteral("schemaVersion"), schemaVersion},
        {QStringLiteral("acceptedPolicyVersions"), std::move(policies)},
        {QStringLiteral("provider"), provider},
        {QStringLiteral("surface"), surface},
    };
    if (surfaceMode)
        object.push_back({QStringLiteral("surfaceMode"), *surfaceMode});
    json::Array messageArray;
    for (const auto& message : messages)
        messageArray.push_back(json::Object{{QStringLiteral("role"), message.role},
                                            {QStringLiteral("text"), message.text},
                                            {QStringLiteral("conversationId"), message.conversationId}});
    json::Array availableArray;
    for (const auto& setting : available)
        availableArray.push_back(settingJson(setting));
    json::Array modelArray;
    for (const QString& model : availableModels)
        modelArray.push_back(model);
    object.push_back({QStringLiteral("conversationId"), conversationId});
    object.push_back({QStringLiteral("historyComplete"), historyComplete});
    object.push_back({QStringLiteral("availableMessageCount"), availableMessageCount});
    object.push_back({QStringLiteral("messages"), std::move(messageArray)});
    object.push_back({QStringLiteral("current"), current ? settingJson(*current) : json::Value()});
    object.push_back({QStringLiteral("available"), std::move(availableArray)});
    object.push_back({QStringLiteral("availableModels"), std::move(modelArray)});
    return json::write(object);
}

} // namespace quillmere::OpenAIRecommendationContract
