#include "desktop/classification/ClassificationService.h"
#include "desktop/classification/ContractDecoding.h"
#include "desktop/classification/OpenAILegacyResponseGuard.h"
#include "desktop/classification/OpenAIRecommendationContract.h"
#include "desktop/classification/OpenAISpeedContract.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

using namespace quillmere;
namespace Contract = OpenAIRecommendationContract;
using Invalid = Contract::Invalid;

namespace {

ClaudeWindowTrackerConversationSnapshot work() {
    ClaudeWindowTrackerConversationSnapshot s;
    s.provider = AIProvider::openAI;
    s.messages = {{"user", "Summarize these meeting notes."}, {"assistant", "Sure."}};
    s.currentModel = "gpt-6-astra";
    s.currentEffort = "high";
    s.currentSettingKnown = true;
    s.availableSettings = {{"gpt-5.6-luna", "low"}, {"gpt-6-astra", "high"}};
    s.availableModels = {"gpt-6.1-sol", "gpt-6-sol"};
    s.surfaceMode = "work";
    s.conversationScopeID = "scope";
    s.historyCurrent = true;
    return s;
}

QByteArray answer(const QString& decision, const QString& model, const QString& effort, bool provisional,
                  const QString& extra = {}) {
    return QString(
               R"({"schemaVersion":3,"provider":"openai","decision":"%1","setting":{"model":"%2","effort":"%3"},)"
               R"("reason":"A bounded task.","requiresVerification":%4%5})")
        .arg(decision, model, effort, provisional ? "true" : "false", extra)
        .toUtf8();
}

std::optional<Invalid::Case> invalidOf(const QByteArray& body,
                                       const ClaudeWindowTrackerConversationSnapshot& s) {
    try {
        Contract::decode(body, s);
    } catch (const Invalid& invalid) {
        return invalid.errorCase();
    }
    return std::nullopt;
}

} // namespace

TEST(OpenAIRequest, CurrentAndFiltersFollowTheSurface) {
    auto s = work();
    auto request = Contract::request(s);
    EXPECT_EQ(request.current, (Contract::Request::Setting{"gpt-6-astra", "high"}));
    EXPECT_EQ(request.availableModels, QStringList({"gpt-6.1-sol", "gpt-6-sol"}));
    const QByteArray bytes = request.encoded();
    EXPECT_TRUE(bytes.startsWith(
        R"({"schemaVersion":3,"acceptedPolicyVersions":["task-catalog-live-v2","task-catalog-live-v1"],"provider":"openai","surface":"chatgpt-desktop","surfaceMode":"work","conversationId":"scope")"));

    s.surfaceMode.reset();
    s.currentModel = "gpt-6-sol";
    request = Contract::request(s);
    EXPECT_FALSE(request.current);
    EXPECT_TRUE(request.availableModels.isEmpty());
    const QByteArray chat = request.encoded();
    EXPECT_TRUE(chat.contains(R"("current":null)"));
    EXPECT_FALSE(chat.contains("surfaceMode"));
    EXPECT_TRUE(chat.contains(R"("availableModels":[])"));

    s = work();
    s.currentSettingKnown = false;
    EXPECT_FALSE(Contract::request(s).current);
    s.provider = AIProvider::claude;
    EXPECT_EQ(Contract::request(s).surface, "claude-desktop");
}

TEST(OpenAIDecode, AbstainAndDecisionRules) {
    const auto s = work();
    const QByteArray abstain =
        R"({"schemaVersion":2,"provider":"openai","decision":"abstain","reason":" Not sure. ","requiresVerification":false,"taskCategory":"weird","decisionReasonCode":"assessor_uncertain"})";
    const auto outcome = Contract::decode(abstain, s);
    EXPECT_TRUE(outcome.isAbstain());
    EXPECT_EQ(outcome.reason, "Not sure.");
    EXPECT_EQ(outcome.metadata->decision, "abstain");
    EXPECT_FALSE(outcome.metadata->taskCategory);
    EXPECT_EQ(outcome.metadata->decisionReasonCode, "assessor_uncertain");

    EXPECT_EQ(invalidOf(answer("abstain", "gpt-5.6-luna", "low", false), s), Invalid::Case::decision);
    EXPECT_EQ(invalidOf(answer("switch", "gpt-5.6-luna", "low", false), s), Invalid::Case::decision);
    auto claude = s;
    claude.provider = AIProvider::claude;
    EXPECT_EQ(invalidOf(answer("suggest", "gpt-5.6-luna", "low", false), claude), Invalid::Case::schema);
    QByteArray v4 = answer("suggest", "gpt-5.6-luna", "low", false);
    v4.replace("\"schemaVersion\":3", "\"schemaVersion\":4");
    EXPECT_EQ(invalidOf(v4, s), Invalid::Case::schema);
}

TEST(OpenAIDecode, ReasonLimitsInCharacters) {
    const auto s = work();
    const QString emoji = QString::fromUtf8("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"); // one character, four units
    QByteArray body = answer("suggest", "gpt-5.6-luna", "low", false);
    body.replace("A bounded task.", (QString("  ") + emoji.repeated(2000) + "\\n").toUtf8());
    EXPECT_FALSE(invalidOf(body, s));
    body = answer("suggest", "gpt-5.6-luna", "low", false);
    body.replace("A bounded task.", emoji.repeated(2001).toUtf8());
    EXPECT_EQ(invalidOf(body, s), Invalid::Case::reason);
}

TEST(OpenAIDecode, TargetsMustBeShownAndSupported) {
    auto s = work();
    EXPECT_FALSE(invalidOf(answer("suggest", "gpt-5.6-luna", "low", false), s));
    EXPECT_EQ(invalidOf(answer("suggest", "gpt-5.6-luna", "medium", false), s), Invalid::Case::setting);
    EXPECT_FALSE(invalidOf(answer("suggest", "gpt-6-sol", "medium", true), s));
    EXPECT_EQ(invalidOf(answer("suggest", "gpt-6.1-sol", "none", true), s), Invalid::Case::setting);
    EXPECT_EQ(invalidOf(answer("suggest", "gpt-6-astra", "high", false), s), Invalid::Case::setting);
    EXPECT_EQ(invalidOf(answer("keep", "gpt-6-astra", "high", true), s), Invalid::Case::setting);
    EXPECT_FALSE(invalidOf(answer("keep", "gpt-6-astra", "high", false), s));
    EXPECT_EQ(invalidOf(answer("suggest", "gpt-5.5", "high", false), s),
              Invalid::Case::unsupportedRecommendationTarget);
    s.surfaceMode = "chat";
    EXPECT_EQ(invalidOf(answer("suggest", "gpt-6.1-sol", "high", true), s),
              Invalid::Case::unsupportedRecommendationTarget);
}

TEST(OpenAIDecode, SavingsOnlyWhenReproduced) {
    auto s = work();
    s.currentModel = "gpt-6.1-sol";
    s.currentEffort = "high";
    const QString basis =
        R"(,"savingsBasis":"chatgpt-work-standard-10k-input-2k-output-v1","savingsComparedTo":"gpt-6-astra")";
    auto percentOf = [&](const QString& pct) {
        return Contract::decode(
                   answer("keep", "gpt-6.1-sol", "high", false, R"(,"potentialPct":)" + pct + basis), s)
            .recommendation->potentialPercent;
    };
    EXPECT_EQ(percentOf("80"), 80);
    EXPECT_EQ(percentOf("80.0005"), 80.0005);
    EXPECT_FALSE(percentOf("80.002"));
    // A number beyond double range is no number at all.
    EXPECT_THROW(percentOf("1e400"), DecodingError);
    s.surfaceMode = "chat";
    s.currentModel = "gpt-5.6-sol";
    const auto chat =
        Contract::decode(answer("keep", "gpt-5.6-sol", "high", false, R"(,"potentialPct":60)" + basis), s);
    EXPECT_FALSE(chat.recommendation->potentialPercent);
    EXPECT_FALSE(chat.recommendation->savingsBasis);
}

TEST(OpenAIWorkCost, NoEstimateWithoutTwoCostsAndAStrictSaving) {
    // Absent baseline, or a model outside the table on either side ("gpt-5.6" has no cost).
    EXPECT_EQ(Contract::estimatedSavings(std::nullopt, "gpt-6-luna"), std::nullopt);
    EXPECT_EQ(Contract::estimatedSavings(QString("gpt-5.6"), "gpt-5.6-luna"), std::nullopt);
    EXPECT_EQ(Contract::estimatedSavings(QString("gpt-6-astra"), "gpt-5.6"), std::nullopt);
    EXPECT_EQ(Contract::estimatedSavings(QString("GPT-6-astra"), "gpt-6-luna"), std::nullopt);
    // An equal or higher cost: no estimate, never 0 or a negative figure.
    EXPECT_EQ(Contract::estimatedSavings(QString("gpt-6-sol"), "gpt-6.1-sol"), std::nullopt);
    EXPECT_EQ(Contract::estimatedSavings(QString("gpt-6-luna"), "gpt-6-astra"), std::nullopt);
    EXPECT_EQ(Contract::estimatedSavings(QString("gpt-6-luna"), "gpt-6-luna"), std::nullopt);
}

TEST(OpenAIWorkCost, RoundsToTheTenthOfAPercent) {
    EXPECT_EQ(Contract::estimatedSavings(QString("gpt-5.6-luna"), "gpt-6-luna"), 54.5); // 54.545…
    EXPECT_EQ(Contract::estimatedSavings(QString("gpt-6-astra"), "gpt-5.6-luna"), 97.8);
    EXPECT_EQ(Contract::estimatedSavings(QString("gpt-5.6-sol"), "gpt-5.6-terra"), 45.0);
    EXPECT_EQ(Contract::estimatedSavings(QString("gpt-6-astra"), "gpt-6.1-sol"), 80.0);
}

TEST(OpenAIDecode, RecommendationFields) {
    const auto s = work();
    const auto outcome = Contract::decode(
        answer(
            "suggest", "gpt-5.6-luna", "low", false,
            QString(
                R"(,"modelFitReason":"  %1 ","category":{"id":"writing","label":"Writing"},"routedTaskId":"writing.draft")")
                .arg(QString(500, 'f'))),
        s);
    const Recommendation& r = *outcome.recommendation;
    EXPECT_EQ(r.planLabel, "ChatGPT Work");
    EXPECT_FALSE(r.alreadyEfficient);
    EXPECT_EQ(r.savingsBaselineSetting, QString::fromUtf8("GPT-6 Astra · High"));
    EXPECT_EQ(r.modelFitReason, QString(500, 'f'));
    EXPECT_EQ(r.conversationCategory, (ConversationTaxonomy{"writing", "Writing"}));
    EXPECT_EQ(r.routingDiagnostic->routedTaskId, "writing.draft");
    EXPECT_EQ(r.routingDiagnostic->recommendedModel, "gpt-5.6-luna");
    EXPECT_EQ(r.contextUsage->messageCount, 2);
    const auto longFit = Contract::decode(answer("suggest", "gpt-5.6-luna", "low", false,
                                                 QString(R"(,"modelFitReason":"%1")").arg(QString(501, 'f'))),
                                          s);
    EXPECT_FALSE(longFit.recommendation->modelFitReason);
}

TEST(OpenAIDecode, MalformedBodies) {
    const auto s = work();
    for (const QByteArray& body :
         {QByteArray(), QByteArray("[1,2]"), QByteArray("{"), QByteArray(R"({"schemaVersion":"3"})"),
          answer("suggest", "gpt-5.6-luna", "low", false, R"(,"contextUsage":{"messageCount":1})"),
          answer("suggest", "gpt-5.6-luna", "low", false, R"(,"potentialPct":"12")")})
        EXPECT_THROW(Contract::decode(body, s), DecodingError) << body.constData();
    // Speed claims are refused even in a body that would not decode.
    EXPECT_EQ(invalidOf(R"([{"speed":null}])", s), Invalid::Case::incompatibleSpeedOrBilling);
}

TEST(LegacyGuard, KeysAtAnyDepthInSortedOrder) {
    const auto issue = [](const char* json) {
        return OpenAILegacyResponseGuard::issue(QJsonDocument::fromJson(json).isArray()
                                                    ? QJsonValue(QJsonDocument::fromJson(json).array())
                                                    : QJsonValue(QJsonDocument::fromJson(json).object()));
    };
    EXPECT_FALSE(issue(R"({"reason":"Ultrafast speed is a separate topic"})"));
    EXPECT_EQ(issue(R"({"Billing-Context":1})"), "Unsupported speed or billing field: Billing-Context");
    EXPECT_EQ(issue(R"({"speed":1,"billing":2})"), "Unsupported speed or billing field: billing");
    EXPECT_EQ(issue(R"({"billing":1,"Speed":2})"), "Unsupported speed or billing field: Speed");
    EXPECT_EQ(issue(R"({"a":[{"b":{"service_tier":"x"}}]})"),
              "Unsupported speed or billing field: service_tier");
    EXPECT_FALSE(issue(R"({"savingsBasis":null,"potentialPct":3,"savingsComparedTo":"x"})"));
    EXPECT_EQ(issue(R"({"x":{"savings_basis":7}})"), "Unsupported cost comparison basis");
    EXPECT_EQ(issue(R"({"potentialUsd":null})"), "Unsupported speed or billing field: potentialUsd");
    EXPECT_FALSE(OpenAILegacyResponseGuard::issue(QJsonValue(5)));
    EXPECT_EQ(OpenAILegacyResponseGuard::normalizedKey(QString::fromUtf8("Curr\xC3\xA9nt_Sp-eed")),
              QString::fromUtf8("curréntspeed"));
}

TEST(SpeedContract, FreshnessAndValidity) {
    namespace S = OpenAISpeedContract;
    const QDateTime now(QDate(2026, 1, 1), QTime(12, 0), Qt::UTC);
    const S::Setting target{"gpt-6.1-sol", "high", S::Speed::ultrafast};
    const S::Observation sixty{target, "scope", now.addSecs(-60)};
    EXPECT_TRUE(S::readbackMatches(target, sixty, "scope", now));
    EXPECT_FALSE(
        S::readbackMatches(target, S::Observation{target, "scope", now.addMSecs(-60001)}, "scope", now));
    EXPECT_FALSE(S::readbackMatches(target, S::Observation{target, "scope", now.addSecs(1)}, "scope", now));
    EXPECT_FALSE(S::readbackMatches(target, sixty, "", now));
    EXPECT_FALSE(S::readbackMatches(target, S::Observation{target, "other", now}, "scope", now));
    EXPECT_FALSE(S::readbackMatches(S::Setting{"gpt-6-sol", "high", S::Speed::ultrafast},
                                    S::Observation{{"gpt-6-sol", "high", S::Speed::ultrafast}, "scope", now},
                                    "scope", now));
    EXPECT_THROW(S::prepareRequest(target, {}, {}), S::Unavailable);

    const S::Observation current{target, "scope", now};
    EXPECT_FALSE(S::preservesObservedSpeed(current, target, {}, "scope", now));
    EXPECT_TRUE(S::preservesObservedSpeed(current, target, {{current, true}}, "scope", now));
    EXPECT_FALSE(
        S::preservesObservedSpeed(current, target, {{current, true}, {current, false}}, "scope", now));
    EXPECT_FALSE(S::speedFromRawValue("Fast"));
    EXPECT_EQ(S::billingSourceFromRawValue("enterprise-payg"), S::BillingSource::enterprisePAYG);
    EXPECT_FALSE(S::billingSourceFromRawValue("enterprisePAYG"));
}

TEST(LocalOpenAIRecommendation, GuardsAndResult) {
    using Error = ClassificationService::ServiceError;
    auto s = work();
    s.messages = {{"user", "Summarize these meeting notes."}};
    const Recommendation r = ClassificationService::openAIRecommendation(s);
    EXPECT_EQ(r.model, "gpt-5.6-luna");
    EXPECT_EQ(r.planLabel, "ChatGPT");
    EXPECT_FALSE(r.savingsLabel());
    s.availableSettings.clear();
    try {
        ClassificationService::openAIRecommendation(s);
        FAIL();
    } catch (const Error& error) {
        EXPECT_EQ(error, Error::availableSettingsUnavailable());
    }
    s = work();
    s.messages = {{"User", "Summarize these meeting notes."}};
    EXPECT_THROW(ClassificationService::openAIRecommendation(s), Error);
    s.messages = {{"user", "Summarize this."},
                  {"assistant", "A deep analysis of the architecture."},
                  {"user", "Summarize these meeting notes for the whole team today."}};
    EXPECT_THROW(ClassificationService::openAIRecommendation(s), Error);
}
