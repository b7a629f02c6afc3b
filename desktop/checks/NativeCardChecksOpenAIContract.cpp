#include "core/ModelControlLabel.h"
#include "desktop/checks/NativeCardChecks.h"
#include "desktop/checks/NativeCardChecksFixtures.h"
#include "desktop/classification/OpenAIRecommendationContract.h"

#include <QJsonArray>

namespace quillmere::NativeCardChecks {

namespace {

namespace Contract = OpenAIRecommendationContract;
using Snapshot = ClaudeWindowTrackerConversationSnapshot;
using Invalid = Contract::Invalid;

const QByteArray bodyA =
    R"({"schemaVersion":2,"provider":"openai","decision":"suggest","setting":{"model":"gpt-5.6-luna","effort":"low"},"reason":"A bounded task.","requiresVerification":false,"taskCategory":"simple","routingSource":"catalog","routedTaskId":"data.format"})";
const QByteArray bodyB =
    "{\"schemaVersion\":3,\"provider\":\"openai\",\"decision\":\"abstain\",\"setting\":null,\n "
    "\"reason\":\"The proposed setting costs more.\",\"requiresVerification\":false,\n "
    "\"taskCategory\":\"very_complex\",\"routingSource\":\"catalog\",\n "
    "\"routedTaskId\":\"development.architecture\",\"decisionReasonCode\":\"non_saving_upgrade\"}";
const QByteArray bodyC =
    "{\"schemaVersion\":3,\"provider\":\"openai\",\"decision\":\"suggest\",\n "
    "\"setting\":{\"model\":\"gpt-5.6-luna\",\"effort\":\"low\"},\n "
    "\"reason\":\"The current model could not be read.\",\"requiresVerification\":false,\n "
    "\"decisionReasonCode\":\"current_model_unknown\"}";

// The ChatGPT conversation this group starts from.
Snapshot base() {
    Snapshot snapshot;
    snapshot.provider = AIProvider::openAI;
    snapshot.messages = {{QStringLiteral("user"), QStringLiteral("Summarize these meeting notes.")}};
    snapshot.currentModel = QStringLiteral("gpt-6-astra");
    snapshot.currentEffort = QStringLiteral("high");
    snapshot.currentSettingKnown = true;
    snapshot.availableSettings = {{QStringLiteral("gpt-5.6-luna"), QStringLiteral("low")}};
    snapshot.conversationID = QStringLiteral("openai-contract");
    snapshot.historyCurrent = true;
    return snapshot;
}

// Whether decoding throws exactly this verification failure.
bool throwsInvalid(const QByteArray& body, const Snapshot& snapshot, Invalid::Case expected,
                   bool* decoded = nullptr) {
    try {
        Contract::decode(body, snapshot);
        if (decoded)
            *decoded = true;
        return false;
    } catch (const Invalid& invalid) {
        return invalid.errorCase() == expected;
    } catch (const std::exception&) {
        return false;
    }
}

bool throwsAnything(const QByteArray& body, const Snapshot& snapshot) {
    try {
        Contract::decode(body, snapshot);
        return false;
    } catch (const std::exception&) {
        return true;
    }
}

// The recommendation an answer decodes to; none for an abstention or any error.
std::optional<Recommendation> recommendationOf(const QByteArray& body, const Snapshot& snapshot) {
    try {
        const auto outcome = Contract::decode(body, snapshot);
        return outcome.recommendation;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace

void openAIContractChecks(const checks::Reporter& check) {
    const QString retired = QStringLiteral("gpt-5.5");
    const QString luna = QStringLiteral("gpt-5.6-luna");
    for (int schema : {2, 3}) {
        for (const QString& surface : {QStringLiteral("work"), QStringLiteral("chat")}) {
            const QString prefix =
                QStringLiteral("schema ") + QString::number(schema) + QLatin1Char(' ') + surface;
            for (bool modelOnly : {false, true}) {
                Snapshot stale = base();
                stale.surfaceMode = surface;
                stale.availableSettings.clear();
                if (!modelOnly)
                    stale.availableSettings = {{retired, QStringLiteral("high")}};
                stale.availableModels = {retired};
                const auto request = Contract::request(stale);
                const bool advertised =
                    request.availableModels.contains(retired) ||
                    std::any_of(request.available.begin(), request.available.end(),
                                [&retired](const auto& setting) { return setting.model == retired; });
                check(!advertised, prefix + QStringLiteral(" stale ") +
                                       (modelOnly ? QStringLiteral("model") : QStringLiteral("pair")) +
                                       QStringLiteral(" cannot advertise an unsupported target"));

                bool decoded = false;
                const bool rejected =
                    throwsInvalid(lifecycleReply(schema, QStringLiteral("suggest"), retired, modelOnly),
                                  stale, Invalid::Case::unsupportedRecommendationTarget, &decoded);
                if (decoded)
                    check(false, QStringLiteral("stale model availability cannot authorize GPT-5.5"));
                else
                    check(rejected,
                          prefix + QStringLiteral(" unsupported ") +
                              (modelOnly ? QStringLiteral("provisional") : QStringLiteral("exact")) +
                              QStringLiteral(" suggestion rejected"));

                Snapshot supported = base();
                supported.surfaceMode = surface;
                supported.availableSettings.clear();
                if (!modelOnly)
                    supported.availableSettings = {{luna, QStringLiteral("high")}};
                supported.availableModels = {luna};
                const auto accepted = recommendationOf(
                    lifecycleReply(schema, QStringLiteral("suggest"), luna, modelOnly), supported);
                if (!accepted)
                    check(false, QStringLiteral("supported target must remain eligible"));
                else
                    check(accepted->model == luna,
                          QStringLiteral("supported ") + surface +
                              QStringLiteral(" target still accepts observed evidence"));
            }

            Snapshot legacy = base();
            legacy.surfaceMode = surface;
            legacy.currentModel = retired;
            legacy.currentEffort = QStringLiteral("high");
            legacy.currentModelID.reset();
            legacy.availableSettings = {{luna, QStringLiteral("high")}};
            legacy.availableModels.clear();
            legacy.availableModelIDs.clear();
            const auto alternative =
                recommendationOf(lifecycleReply(schema, QStringLiteral("suggest"), luna, false), legacy);
            if (!alternative)
                check(false, QStringLiteral("legacy current does not block a supported alternative"));
            else
                check(alternative->model == luna && !alternative->potentialPercent &&
                          !alternative->savingsLabel() && legacy.currentModel == retired,
                      QStringLiteral("legacy current stays exact, supports alternatives and never gains "
                                     "unpriced savings"));

            bool keptDecoded = false;
            const bool keepRejected =
                throwsInvalid(lifecycleReply(schema, QStringLiteral("keep"), retired, false), legacy,
                              Invalid::Case::unsupportedRecommendationTarget, &keptDecoded);
            if (keptDecoded)
                check(false, QStringLiteral(
                                 "recognized current setting is not evidence for an unsupported Model fit"));
            else
                check(keepRejected, QStringLiteral("unsupported current target cannot fabricate Model fit"));

            if (surface == QLatin1String("work")) {
                const auto request = Contract::request(legacy);
                check(request.current == Contract::Request::Setting{retired, QStringLiteral("high")},
                      QStringLiteral(
                          "unknown/API auth current readback is preserved without a retirement remap"));
            }
        }
    }

    {
        Snapshot snapshot = base();
        snapshot.availableSettings = {{retired, QStringLiteral("high")}};
        snapshot.availableModels = {retired};
        check(throwsAnything(lifecycleReply(3, QStringLiteral("suggest"), retired, false), snapshot),
              QStringLiteral("unknown auth/surface fails closed on unsupported targets"));
    }
    check(ModelControlLabel::model(QStringLiteral("Model: GPT-5.5 High")) == retired &&
              ModelControlLabel::effort(QStringLiteral("Model: GPT-5.5 High")) == QLatin1String("high"),
          QStringLiteral("exact legacy/API model readback remains recognized without substitution"));
}

void openAIRoutingChecks(const checks::Reporter& check) {
    const QString luna = QStringLiteral("gpt-5.6-luna");
    {
        const auto recommendation =
            recommendationOf(contractData(QStringLiteral("openai"), QStringLiteral("suggest"), luna,
                                          QStringLiteral("low"), false),
                             base());
        if (!recommendation)
            check(false, QStringLiteral("suggestion must decode as recommendation"));
        else
            check(
                recommendation->model == luna && recommendation->effort == QLatin1String("low") &&
                    !recommendation->potentialPercent &&
                    (!recommendation->routingDiagnostic || !recommendation->routingDiagnostic->taskCategory),
                QStringLiteral(
                    "dedicated response validates observed pair without fabricated savings or category"));
    }
    {
        const auto routed = recommendationOf(bodyA, base());
        if (!routed)
            check(false, QStringLiteral("routed suggestion must decode as recommendation"));
        else
            check(routed->routingDiagnostic ==
                      RoutingDecisionMetadata::make(QStringLiteral("suggest"), QStringLiteral("simple"),
                                                    QStringLiteral("catalog"), QStringLiteral("data.format"),
                                                    luna),
                  QStringLiteral(
                      "supported routing fields survive desktop decoding when the server supplies them"));
    }
    {
        std::optional<Contract::Outcome> outcome;
        try {
            outcome = Contract::decode(bodyB, base());
        } catch (const std::exception&) {
        }
        if (!outcome || !outcome->isAbstain())
            check(false, QStringLiteral("routed abstention must remain a no-decision outcome"));
        else
            check(outcome->reason == QLatin1String("The proposed setting costs more.") && outcome->metadata &&
                      outcome->metadata->decision == QLatin1String("abstain") &&
                      outcome->metadata->routingSource == QLatin1String("catalog") &&
                      outcome->metadata->routedTaskId == QLatin1String("development.architecture") &&
                      outcome->metadata->decisionReasonCode == QLatin1String("non_saving_upgrade"),
                  QStringLiteral(
                      "server abstention preserves its safe routing cause for the desktop diagnostic"));
    }

    Snapshot unknown = base();
    unknown.currentModel = QStringLiteral("unknown");
    unknown.currentEffort = QStringLiteral("unknown");
    unknown.currentModelID.reset();
    unknown.currentSettingKnown = false;
    unknown.availableModels = {luna, QStringLiteral("gpt-6-astra")};
    {
        const QJsonObject request = objectOf(Contract::request(unknown).encoded());
        check(request.contains(QStringLiteral("current")) &&
                  request.value(QStringLiteral("current")).isNull() &&
                  request.value(QStringLiteral("availableModels"))
                      .toArray()
                      .contains(QStringLiteral("gpt-6-astra")),
              QStringLiteral("available model choices cannot fabricate a known current setting"));
    }
    {
        const auto recommendation = recommendationOf(
            contractData(QStringLiteral("openai"), QStringLiteral("suggest"), luna, QStringLiteral("low"),
                         false, 97.8, QStringLiteral("chatgpt-work-standard-10k-input-2k-output-v1"),
                         QStringLiteral("gpt-6-astra")),
            unknown);
        if (!recommendation)
            check(false, QStringLiteral("unknown current setting may still receive a model recommendation"));
        else
            check(!recommendation->savingsLabel(),
                  QStringLiteral(
                      "unknown current model never shows a savings percentage, even when the server supplies "
                      "one"));
    }
    {
        const auto recommendation = recommendationOf(bodyC, unknown);
        if (!recommendation)
            check(false, QStringLiteral("unknown-current response must decode"));
        else
            check(recommendation->routingDiagnostic &&
                      recommendation->routingDiagnostic->decisionReasonCode ==
                          QLatin1String("current_model_unknown") &&
                      !recommendation->savingsLabel(),
                  QStringLiteral("unknown current model is recorded explicitly without claiming a saving"));
    }
}

} // namespace quillmere::NativeCardChecks
