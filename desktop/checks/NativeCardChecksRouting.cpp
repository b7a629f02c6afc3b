#include "desktop/checks/NativeCardChecks.h"
#include "desktop/checks/NativeCardChecksFixtures.h"
#include "desktop/classification/RoutingDecisionDiagnostic.h"

#include "core/Json.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QSet>

namespace quillmere::NativeCardChecks {

namespace {

const QString probe = QStringLiteral("private-conversation-should-never-appear");

QJsonObject readRecord(const QString& path) {
    const auto object = json::parseObject(readFile(path));
    if (!object)
        throw RunError(QStringLiteral("the routing decision file is not one JSON object"));
    return *object;
}

} // namespace

void routingDecisionChecks(const checks::Reporter& check, const QString& temporaryDirectory) {
    const QString path = QDir(temporaryDirectory).filePath(QStringLiteral("routing-decision.json"));
    RoutingDecisionDiagnostic diagnostic(path);
    check(!QFile::exists(path), QStringLiteral("routing diagnostic is empty until a decision is displayed"));

    const auto firstDecision = RoutingDecisionMetadata::make(
        QStringLiteral("keep"), std::nullopt, QStringLiteral("catalog"), QStringLiteral("development.debug"),
        QStringLiteral("sonnet"), std::nullopt);
    diagnostic.displayed(firstDecision, QStringLiteral("claude"), true, true,
                         QStringLiteral("first_context_check"));
    {
        const QJsonObject record = readRecord(path);
        const QSet<QString> expectedKeys{"timestamp",          "decision",          "taskCategory",
                                         "routingSource",      "routedTaskId",      "recommendedModel",
                                         "decisionReasonCode", "currentModelKnown", "cardCurrent",
                                         "schedulerReason"};
        const QStringList keys = record.keys();
        check(QSet<QString>(keys.begin(), keys.end()) == expectedKeys && keys.size() == expectedKeys.size() &&
                  record.value(QStringLiteral("taskCategory")).isNull() &&
                  record.value(QStringLiteral("cardCurrent")) == QJsonValue(true) &&
                  record.value(QStringLiteral("recommendedModel")) == QJsonValue(QStringLiteral("sonnet")),
              QStringLiteral(
                  "one-record routing diagnostic contains only approved metadata and keeps unavailable "
                  "category null"));
    }

    const QByteArray before = readFile(path);
    diagnostic.update(QStringLiteral("other-host"), false, probe);
    check(readFile(path) == before,
          QStringLiteral("another host cannot overwrite the current routing decision"));

    diagnostic.update(QStringLiteral("claude"), false, probe);
    {
        const QJsonObject record = readRecord(path);
        check(record.value(QStringLiteral("cardCurrent")) == QJsonValue(false) &&
                  record.value(QStringLiteral("schedulerReason")) == QJsonValue(QStringLiteral("unknown")),
              QStringLiteral("stale card state is recorded while unexpected scheduler text is discarded"));
    }

    const auto unrecognisedFields =
        RoutingDecisionMetadata::make(QStringLiteral("suggest"), probe, probe, probe, probe, probe);
    diagnostic.displayed(unrecognisedFields, QStringLiteral("claude"), true, true,
                         QStringLiteral("task_changed"));
    const auto unrecognisedDecision = RoutingDecisionMetadata::make(probe);
    check(!readFile(path).contains(probe.toUtf8()) && !unrecognisedDecision,
          QStringLiteral("unrecognized response fields cannot enter the metadata record"));

    const auto abstention = RoutingDecisionMetadata::make(
        QStringLiteral("abstain"), QStringLiteral("very_complex"), QStringLiteral("catalog"),
        QStringLiteral("development.architecture"), probe, QStringLiteral("non_saving_upgrade"));
    diagnostic.displayed(abstention, QStringLiteral("openai"), false, false, QStringLiteral("task_changed"));
    {
        const QJsonObject record = readRecord(path);
        check(record.value(QStringLiteral("decision")) == QJsonValue(QStringLiteral("abstain")) &&
                  record.value(QStringLiteral("decisionReasonCode")) ==
                      QJsonValue(QStringLiteral("non_saving_upgrade")),
              QStringLiteral(
                  "abstain replaces the previous decision with content-free cause and model-known status"));
    }
}

} // namespace quillmere::NativeCardChecks
