#include "desktop/card/CardCopy.h"

#include "core/Text.h"
#include "desktop/card/CardPalette.h"
#include "desktop/card/CardStrings.h"

namespace quillmere::cardcopy {

namespace ct = cardtext;

ReasonCopy recommendationCopy(const QString& reason) {
    const QString trimmed = text::trimmed(reason);
    if (trimmed.isEmpty())
        return {ct::detailsUnavailable, QString()};
    // The markers hold no letters, so an exact search finds what a caseless one would, at a small
    // part of its cost on a long reason.
    for (const QString& marker : {ct::arrowMarker, ct::blankLineMarker, ct::lineBreakMarker}) {
        const qsizetype at = trimmed.indexOf(marker, 0, Qt::CaseSensitive);
        if (at < 0)
            continue;
        const QString before = text::trimmed(QStringView(trimmed).left(at));
        const QString after = text::trimmed(QStringView(trimmed).mid(at + marker.size()));
        if (!before.isEmpty() && !after.isEmpty())
            return {before, after};
    }
    return {trimmed, QString()};
}

QString compactReason(const Recommendation& recommendation) {
    const QString why = text::trimmed(recommendation.modelFitReason.value_or(recommendation.reason));
    if (why.isEmpty())
        return ct::compactReasonUnavailable;
    return ct::compactReasonPrefix + why;
}

QString contextUsageLine(const RecommendationContextUsage& usage) {
    const QString tail = ct::middleDot + QString::number(usage.userMessageCount) + ct::yoursPlus +
                         QString::number(usage.assistantMessageCount) + ct::ai;
    if (usage.messageCount < usage.availableMessageCount)
        return ct::basedOnThe + QString::number(usage.messageCount) + ct::mostRecentOf +
               QString::number(usage.availableMessageCount) + ct::availableMessages + tail;
    QString noun = usage.messageCount == 1 ? ct::message : ct::messages;
    if (!usage.historyComplete)
        noun = ct::available + noun;
    return ct::basedOn + QString::number(usage.messageCount) + QLatin1Char(' ') + noun + tail;
}

std::optional<SpokenText> savingsChip(const Recommendation& recommendation) {
    const std::optional<QString> label = recommendation.savingsLabel();
    if (!label)
        return std::nullopt;
    QString s = *label;
    s.remove(ct::approximately);
    if (const std::optional<QString> reference = recommendation.standardRateReference())
        return SpokenText{*reference, *reference};
    if (const std::optional<QString> comparison = recommendation.savingsComparisonLabel())
        return SpokenText{ct::downArrow + s + ct::versus + *comparison,
                          s + ct::estimatedCreditSavingsComparedWith + *comparison};
    return SpokenText{ct::downArrow + s + ct::credits, s + ct::estimatedCreditSavings};
}

SpokenText compactSavings(const Recommendation& recommendation, bool availabilityUnverified, bool stale) {
    if (availabilityUnverified)
        return {ct::availabilityUnverified, ct::availabilityUnverified};
    if (const std::optional<QString> reference = recommendation.standardRateReference())
        return {*reference, stale ? ct::lastCompletedAnalysis + *reference : *reference};
    const std::optional<QString> savings = recommendation.savingsLabel();
    if (!savings)
        return {ct::savingsDash, ct::savingsNotVerified};
    const std::optional<QString> comparison = recommendation.savingsComparisonLabel();
    const QString text =
        ct::downArrow + *savings + ct::estimatedSavingsVs + comparison.value_or(ct::currentSettingAtAnalysis);
    QString spoken = (stale ? ct::lastCompletedEstimatedSavings : ct::estimatedSavings) + *savings;
    if (comparison)
        spoken += ct::comparedWith + *comparison;
    return {text, spoken};
}

QString staleSavingsAccessibility(const Recommendation& recommendation) {
    if (const std::optional<QString> reference = recommendation.standardRateReference())
        return ct::lastCompletedAnalysis + *reference;
    QString spoken =
        ct::lastCompletedAnalysis + recommendation.savingsLabel().value_or(ct::noVerifiedSavings);
    if (const std::optional<QString> comparison = recommendation.savingsComparisonLabel())
        spoken += ct::comparedWith + *comparison;
    return spoken;
}

QString askResultText(const Recommendation& recommendation) {
    const QString fit = text::trimmed(recommendation.modelFitReason.value_or(QString()));
    QString why = fit.isEmpty() ? recommendation.reason : fit;
    if (const std::optional<QString> reference = recommendation.standardRateReference()) {
        why += QLatin1Char(' ') + *reference + QLatin1Char('.');
    } else if (recommendation.provider == AIProvider::claude) {
        const std::optional<QString> savings = recommendation.savingsLabel();
        const std::optional<QString> comparison = recommendation.savingsComparisonLabel();
        if (savings && comparison)
            why += QLatin1Char(' ') + *savings + ct::fewerCreditsThan + *comparison + QLatin1Char('.');
    }
    return recommendation.settingLabel() + ct::settingDash + why;
}

QString compactTitle(const Recommendation& recommendation, bool availabilityUnverified) {
    const QString prefix = availabilityUnverified            ? ct::previousAnalysis
                           : recommendation.alreadyEfficient ? ct::compactFit
                                                             : ct::compactSwitch;
    return prefix + ct::middleDot + recommendation.displaySettingLabel();
}

QString joinedNonEmpty(const QString& first, const QString& second) {
    QStringList parts;
    if (!first.isEmpty())
        parts << first;
    if (!second.isEmpty())
        parts << second;
    return parts.join(ct::middleDot);
}

QString categoryLine(const Recommendation& recommendation) {
    const auto label = [](const std::optional<ConversationTaxonomy>& taxonomy) {
        return taxonomy ? text::trimmed(taxonomy->label) : QString();
    };
    return joinedNonEmpty(label(recommendation.conversationCategory),
                          label(recommendation.conversationSubcategory));
}

bool longerThan(const QString& value, qsizetype limit) {
    return text::characterCount(value) > limit;
}

QColor requestLogDotColor(const QString& status) {
    if (status == ct::statusFailed || status == ct::statusCancelled)
        return CardPalette::systemRed;
    if (status == ct::statusSending || status == ct::statusResponseReceived)
        return CardPalette::accent;
    if (status.contains(ct::statusNoRecommendation))
        return CardPalette::muted;
    return CardPalette::systemGreen;
}

} // namespace quillmere::cardcopy
