#pragma once

// The one value every classification road produces and the card, the usage records and the
// diagnostics consume: which model and reasoning setting suits the conversation, why, and what it
// is estimated to save. It never changes once made; every display text is a pure function of it.

#include "desktop/records/AIProvider.h"
#include "desktop/records/ConversationTaxonomy.h"
#include "desktop/records/RoutingDecisionMetadata.h"

#include <QString>
#include <optional>

namespace quillmere {

// How much of the conversation the service was given.
struct RecommendationContextUsage {
    int messageCount = 0;
    int userMessageCount = 0;
    int assistantMessageCount = 0;
    bool historyComplete = false;
    int availableMessageCount = 0;

    friend bool operator==(const RecommendationContextUsage&, const RecommendationContextUsage&) = default;
};

struct Recommendation {
    AIProvider provider = AIProvider::claude;
    QString model;                  // Claude family or OpenAI model id
    std::optional<QString> modelID; // exact Claude version id, when known
    QString effort;                 // may be empty
    bool extended = false;          // extended thinking (legacy Haiku only)
    QString reason;
    double potentialUSD = 0;
    std::optional<double> potentialPercent;
    QString planLabel;
    bool alreadyEfficient = false;
    std::optional<QString> savingsBasis;
    std::optional<QString> savingsComparedTo;
    std::optional<QString> savingsBaselineSetting;
    std::optional<QString> modelFitReason;
    std::optional<ConversationTaxonomy> conversationCategory;
    std::optional<ConversationTaxonomy> conversationSubcategory;
    std::optional<RecommendationContextUsage> contextUsage;
    std::optional<RoutingDecisionMetadata> routingDiagnostic;

    friend bool operator==(const Recommendation&, const Recommendation&) = default;

    // "Sonnet 5.5", "GPT-6 Sol", "Haiku 4.5", or the model capitalized.
    QString modelLabel() const;
    // "Sol", "Luna", "Sonnet", ... or the model label.
    QString modelFamilyLabel() const;
    // The model label and the effort ("Sonnet 5.5 · Extra high"); the legacy Haiku shows its
    // extended switch instead.
    QString settingLabel() const;
    // The setting label with a warning when the target's version or setting is unverified.
    QString displaySettingLabel() const;
    // "Medium reasoning effort", "Extended thinking on", or empty.
    QString reasoningLabel() const;
    // "<1%" or "≈N%", only for an estimate whose basis and comparison the application can stand
    // behind.
    std::optional<QString> savingsLabel() const;
    // What the estimate compares against, as shown on the card.
    std::optional<QString> savingsComparisonLabel() const;
    // The OpenAI standard-rate line; none for Claude and without a savings label.
    std::optional<QString> standardRateReference() const;
    // "Standard rate reference: <target> (Standard) vs <baseline> (Standard) · <percent> lower".
    static QString standardRateReferenceText(const QString& target, const QString& baseline,
                                             const QString& percent);
    // Whether the host can be switched to this target.
    bool canApply() const;
    // Same provider, model, model id, effort and extended switch.
    bool hasSameTarget(const Recommendation& other) const;
};

} // namespace quillmere
