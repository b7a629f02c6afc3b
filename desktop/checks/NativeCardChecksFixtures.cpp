#include "desktop/checks/NativeCardChecksFixtures.h"

#include <QDir>
#include <QFile>
#include <QUuid>

namespace quillmere::NativeCardChecks {

TemporaryDirectory::TemporaryDirectory(const QString& outputDirectory) {
    const QString name =
        QStringLiteral("wire-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    path_ = QDir(outputDirectory).filePath(name);
    if (!QDir().mkpath(path_))
        throw RunError(QStringLiteral("could not create the temporary folder ") + path_);
}

TemporaryDirectory::~TemporaryDirectory() {
    // Errors while cleaning up are ignored: the run's outcome is already decided.
    QDir(path_).removeRecursively();
}

QString TemporaryDirectory::filePath(const QString& name) const {
    return QDir(path_).filePath(name);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw RunError(QStringLiteral("could not read ") + path + QStringLiteral(": ") + file.errorString());
    return file.readAll();
}

std::vector<ClaudeWindowTrackerConversationMessage> messagePairs(int first, int last) {
    std::vector<ClaudeWindowTrackerConversationMessage> messages;
    for (int n = first; n <= last; ++n) {
        messages.push_back({QStringLiteral("user"), QStringLiteral("User request ") + QString::number(n)});
        messages.push_back(
            {QStringLiteral("assistant"), QStringLiteral("Assistant response ") + QString::number(n)});
    }
    return messages;
}

} // namespace quillmere::NativeCardChecks

#include "core/ClaudeModelSetting.h"
#include "core/Json.h"
#include "desktop/classification/ClassificationService.h"
#include "desktop/classification/ContractDecoding.h"

#include <QJsonDocument>

namespace quillmere::NativeCardChecks {

RecommendationCadence::Input cadenceInput(const QString& context, const QString& setting,
                                          const QString& text) {
    RecommendationCadence::Input value;
    value.context = context;
    value.setting = setting;
    value.text = text;
    return value;
}

const std::array<TaskChange, 2> taskChanges = {{
    {QStringLiteral("Plan the Q4 budget allocation for teams"), QStringLiteral("unknown keyword profile")},
    {QStringLiteral("Write product homepage copy for startup founders"),
     QStringLiteral("same writing profile")},
}};

RecommendationCadence afterTaskChange(const TaskChange& change, double at) {
    RecommendationCadence cadence;
    auto input =
        cadenceInput(QStringLiteral("openAI|task-change-") + change.label, QStringLiteral("sol|high"),
                     QStringLiteral("Draft an outreach email for enterprise leads"));
    cadence.observe(input, 0);
    if (const auto ticket = cadence.takeRequest(5))
        cadence.complete(*ticket);
    input.text = change.newText;
    cadence.observe(input, at);
    return cadence;
}

ClaudeModelAvailability::MenuRow menuItem(const QString& label) {
    return ClaudeModelAvailability::MenuRow{QStringLiteral("AXMenuItem"), label, true};
}

ClaudeWindowTrackerConversationSnapshot
observedClaude(const QString& model, const QString& modelID, const QString& effort, bool extended,
               const std::vector<ClaudeModelAvailability::MenuRow>& rows, const Clock& clock) {
    ClaudeModelAvailability availability;
    const QStringList ids =
        availability.update(42, modelID, rows, QStringLiteral("synthetic-claude"),
                            ClaudeModelAvailability::MenuState::partial, effort, extended, clock.uptime());
    ClaudeWindowTrackerConversationSnapshot snapshot;
    snapshot.provider = AIProvider::claude;
    snapshot.messages = {
        {QStringLiteral("user"), QStringLiteral("Please implement and test the dashboard from this brief")}};
    snapshot.currentModel = model;
    snapshot.currentModelID = modelID;
    snapshot.currentEffort = effort;
    snapshot.currentExtended = extended;
    snapshot.currentSettingKnown = true;
    snapshot.availableModelIDs = ids;
    snapshot.claudeAvailability = availability.evidence();
    snapshot.historyCurrent = true;
    snapshot.historyComplete = false;
    return snapshot;
}

ClaudeWindowTrackerConversationSnapshot haiku55Snapshot(const QString& effort, const Clock& clock) {
    return observedClaude(
        QStringLiteral("haiku"), ClaudeModelSetting::haiku55ID, effort, false,
        {menuItem(QStringLiteral("Haiku 5.5 Medium")), menuItem(QStringLiteral("Sonnet 5.5 Low"))}, clock);
}

QByteArray contractData(const QString& provider, const QString& decision, const QString& model,
                        const QString& effort, bool provisional, std::optional<double> savings,
                        const std::optional<QString>& basis, const std::optional<QString>& comparedTo,
                        const std::optional<QString>& fit) {
    json::Object body{
        {QStringLiteral("schemaVersion"), 2},
        {QStringLiteral("provider"), provider},
        {QStringLiteral("decision"), decision},
        {QStringLiteral("requiresVerification"), provisional},
        {QStringLiteral("setting"),
         json::Object{{QStringLiteral("model"), model}, {QStringLiteral("effort"), effort}}},
        {QStringLiteral("reason"), QStringLiteral("A bounded transformation is suitable for this setting.")},
    };
    if (savings)
        body.push_back({QStringLiteral("potentialPct"), *savings});
    if (basis)
        body.push_back({QStringLiteral("savingsBasis"), *basis});
    if (comparedTo)
        body.push_back({QStringLiteral("savingsComparedTo"), *comparedTo});
    if (fit)
        body.push_back({QStringLiteral("modelFitReason"), *fit});
    return json::write(body);
}

QJsonObject objectOf(const QByteArray& body) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        throw RunError(QStringLiteral("a fixture body does not read back as a JSON object"));
    return document.object();
}

QByteArray bytesOf(const QJsonObject& object) {
    return json::write(json::Value::from(object));
}

QByteArray lifecycleReply(int schema, const QString& decision, const QString& model, bool provisional) {
    const json::Object body{
        {QStringLiteral("schemaVersion"), 2},
        {QStringLiteral("provider"), QStringLiteral("openai")},
        {QStringLiteral("decision"), decision},
        {QStringLiteral("requiresVerification"), provisional},
        {QStringLiteral("setting"),
         json::Object{{QStringLiteral("model"), model}, {QStringLiteral("effort"), QStringLiteral("high")}}},
        {QStringLiteral("reason"), QStringLiteral("A bounded transformation is suitable for this setting.")},
        {QStringLiteral("potentialPct"), 80},
        {QStringLiteral("savingsBasis"), QStringLiteral("chatgpt-work-standard-10k-input-2k-output-v1")},
        {QStringLiteral("savingsComparedTo"), QStringLiteral("gpt-5.5")},
    };
    QJsonObject object = objectOf(json::write(body));
    object.insert(QStringLiteral("schemaVersion"), schema);
    return bytesOf(object);
}

void expectClaudeContractError(const checks::Reporter& check, const QString& sentence,
                               const std::function<void()>& operation) {
    try {
        operation();
    } catch (const std::exception&) {
        check(true, sentence);
        return;
    }
    check(false, sentence);
}

void expectHaikuContractError(const checks::Reporter& check, const QString& sentence,
                              const std::function<void()>& operation) {
    using Error = ClassificationService::ServiceError;
    try {
        operation();
    } catch (const Error& error) {
        const bool accepted = error.errorCase() == Error::Case::unsupportedCurrentSetting ||
                              error.errorCase() == Error::Case::availableSettingsUnavailable;
        check(accepted, accepted ? sentence : sentence + QStringLiteral(": unexpected ") + error.describe());
        return;
    } catch (const std::exception& error) {
        check(false, sentence + QStringLiteral(": unexpected ") + QString::fromUtf8(error.what()));
        return;
    }
    check(false, sentence);
}

const QByteArray fitHaiku55Body =
    R"({"fitModel":"haiku","fitModelId":"claude-haiku-5-5","fitEffort":"medium","alreadyEfficient":true,"reason":"Focused work.","potentialPct":80,"potentialUsd":0.5,"savingsBasis":"claude-list-uncached-estimated-output-v1","savingsComparedTo":"fable"})";
const QByteArray legacyFitBody =
    R"({"fitModel":"haiku","fitExtended":false,"alreadyEfficient":true,"reason":"Focused work."})";
const std::array<QByteArray, 5> conflictingHaiku55Bodies = {
    QByteArray(
        R"({"recommendedModel":"sonnet","recommendedModelId":"claude-haiku-5-5","recommendedEffort":"medium"})"),
    QByteArray(
        R"({"recommendedModel":"opus","recommendedModelId":"claude-haiku-5-5","recommendedEffort":"medium"})"),
    QByteArray(
        R"({"recommendedModel":"haiku","recommendedModelId":"claude-haiku-5-6","recommendedEffort":"medium"})"),
    QByteArray(
        R"({"recommendedModel":"haiku","recommendedModelId":"claude-haiku-5-5","recommendedEffort":"none"})"),
    QByteArray(
        R"({"recommendedModel":"haiku","recommendedModelId":"claude-haiku-5-5","recommendedEffort":"medium","recommendedExtended":true})"),
};

} // namespace quillmere::NativeCardChecks
