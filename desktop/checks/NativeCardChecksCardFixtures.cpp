#include "desktop/checks/NativeCardChecksCardFixtures.h"

namespace quillmere::NativeCardChecks::cardFixtures {

namespace {

const QString claudeBasis = QStringLiteral("claude-list-uncached-estimated-output-v1");
const QString workBasis = QStringLiteral("chatgpt-work-standard-10k-input-2k-output-v1");

Recommendation claude(const QString& model, std::optional<QString> modelID, const QString& effort,
                      const QString& reason) {
    Recommendation r;
    r.provider = AIProvider::claude;
    r.model = model;
    r.modelID = std::move(modelID);
    r.effort = effort;
    r.reason = reason;
    r.planLabel = QStringLiteral("Team");
    return r;
}

Recommendation chatGPT(const QString& model, const QString& effort, const QString& reason,
                       const QString& fit) {
    Recommendation r;
    r.provider = AIProvider::openAI;
    r.model = model;
    r.effort = effort;
    r.reason = reason;
    r.modelFitReason = fit;
    r.planLabel = QStringLiteral("ChatGPT Work");
    return r;
}

} // namespace

Recommendation switchToSonnet() {
    Recommendation r =
        claude(QStringLiteral("sonnet"), QStringLiteral("claude-sonnet-5"), QStringLiteral("low"),
               QStringLiteral(
                   "A concise summary needs little extra reasoning. → This task mainly summarizes existing "
                   "content. Sonnet 5 with Low reasoning should be sufficient while using fewer credits."));
    r.potentialUSD = 0.04;
    r.potentialPercent = 63;
    r.savingsBasis = claudeBasis;
    r.savingsBaselineSetting = QStringLiteral("Opus 5.5 · Medium");
    return r;
}

Recommendation unversionedSonnet() {
    Recommendation r = claude(QStringLiteral("sonnet"), std::nullopt, QStringLiteral("high"), QString());
    r.planLabel.clear();
    return r;
}

Recommendation claudeFit() {
    Recommendation r = claude(QStringLiteral("sonnet"), std::nullopt, QStringLiteral("low"),
                              QStringLiteral("This setting matches the task."));
    r.alreadyEfficient = true;
    return r;
}

Recommendation claudeFitWithSavings() {
    Recommendation r = claude(QStringLiteral("sonnet"), std::nullopt, QStringLiteral("high"),
                              QStringLiteral("Debugging a live dashboard."));
    r.alreadyEfficient = true;
    r.potentialPercent = 80;
    r.savingsBasis = claudeBasis;
    r.savingsComparedTo = QStringLiteral("fable");
    return r;
}

Recommendation chatGPTFit() {
    Recommendation r =
        chatGPT(QStringLiteral("gpt-5.6-sol"), QStringLiteral("high"),
                QStringLiteral("Building an interactive review interface with clear decision tracking."),
                QStringLiteral("Sol with High reasoning fits multi-step work that needs careful reasoning."));
    r.alreadyEfficient = true;
    r.potentialPercent = 60;
    r.savingsBasis = workBasis;
    r.savingsComparedTo = QStringLiteral("gpt-6-astra");
    return r;
}

Recommendation chatGPTWithCategory() {
    Recommendation r = chatGPT(
        QStringLiteral("gpt-5.6-terra"), QStringLiteral("medium"),
        QStringLiteral("Refining the recommendation widget so its explanations are clear and concise."),
        QStringLiteral(
            "Terra with Medium reasoning fits focused work with clear requirements and moderate reasoning."));
    r.conversationCategory =
        ConversationTaxonomy{QStringLiteral("development"), QStringLiteral("Development")};
    r.conversationSubcategory = ConversationTaxonomy{QStringLiteral("development.implementation"),
                                                     QStringLiteral("Implement a feature")};
    r.potentialPercent = 45;
    r.contextUsage = RecommendationContextUsage{14, 7, 7, false, 14};
    return r;
}

Recommendation chatGPTOversized() {
    Recommendation r = chatGPTWithCategory();
    r.reason = QStringLiteral("Debugging a large conversation.");
    r.modelFitReason = QStringLiteral("Terra fits this focused task.");
    r.contextUsage = RecommendationContextUsage{6, 3, 3, false, 10};
    return r;
}

Recommendation sameTargetNewReason() {
    Recommendation r =
        claude(QStringLiteral("sonnet"), QStringLiteral("claude-sonnet-5"), QStringLiteral("low"),
               QStringLiteral("A different explanation for the next request."));
    r.potentialUSD = 0.02;
    r.potentialPercent = 50;
    return r;
}

Recommendation sonnetRefreshed() {
    Recommendation r =
        claude(QStringLiteral("sonnet"), QStringLiteral("claude-sonnet-5"), QStringLiteral("low"),
               QStringLiteral("A newer explanation for the same model."));
    r.potentialUSD = 0.03;
    r.potentialPercent = 50;
    r.savingsBasis = claudeBasis;
    r.savingsBaselineSetting = QStringLiteral("Opus 5.5 · Medium");
    return r;
}

Recommendation opus() {
    return claude(QStringLiteral("opus"), QStringLiteral("claude-opus-5"), QStringLiteral("high"),
                  QStringLiteral("A broader task needs deeper work."));
}

Recommendation keep() {
    return claudeFitWithSavings();
}

Recommendation changedTask() {
    return claude(QStringLiteral("opus"), QStringLiteral("claude-opus-5"), QStringLiteral("medium"),
                  QStringLiteral("Changed task"));
}

Recommendation longRecommendation() {
    QString reason = QStringLiteral("A complete explanation is available. → ");
    for (int i = 0; i < 8; ++i)
        reason += QStringLiteral("Important recommendation detail stays available and scrolls without "
                                 "pushing the primary action away. ");
    Recommendation r = claude(QStringLiteral("A very long model name that wraps onto multiple lines"),
                              std::nullopt, QStringLiteral("high"), reason);
    r.potentialPercent = 42;
    return r;
}

Recommendation savingsProbe(std::optional<double> percent) {
    Recommendation r = claude(QStringLiteral("sonnet"), std::nullopt, QString(), QString());
    r.potentialPercent = percent;
    // The basis is a verified one, so the percent alone decides whether a saving is shown.
    r.savingsBasis = claudeBasis;
    return r;
}

Recommendation askAnswer() {
    Recommendation r =
        chatGPT(QStringLiteral("gpt-5.6-terra"), QStringLiteral("medium"),
                QStringLiteral("Writing and refining focused website copy."),
                QStringLiteral("Terra with Medium reasoning fits focused writing with clear requirements."));
    r.potentialPercent = 45;
    r.savingsBasis = workBasis;
    r.savingsComparedTo = QStringLiteral("gpt-5.6-sol");
    return r;
}

} // namespace quillmere::NativeCardChecks::cardFixtures
