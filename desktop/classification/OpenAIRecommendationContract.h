#pragma once

// The wire contract with the classification service for conversations read from an OpenAI host.
//
// The request carries the conversation window, the current setting when it may be shown to the
// service, and only the settings and models the application could recommend on the host's surface.
// The answer is never trusted: one that speaks of speed or billing, of another schema or provider,
// or names a target the host cannot be shown to offer is refused, and a savings percentage is kept
// only when the application's own cost table reproduces it.

#include "desktop/records/ConversationSnapshot.h"
#include "desktop/records/Recommendation.h"
#include "desktop/records/RoutingDecisionMetadata.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <exception>
#include <optional>
#include <vector>

namespace quillmere::OpenAIRecommendationContract {

using Snapshot = ClaudeWindowTrackerConversationSnapshot;

struct Request {
    struct Message {
        QString role;
        QString text;
        QString conversationId;

        friend bool operator==(const Message&, const Message&) = default;
    };

    struct Setting {
        QString model;
        QString effort;

        friend bool operator==(const Setting&, const Setting&) = default;
    };

    int schemaVersion = 3;
    QStringList acceptedPolicyVersions;
    QString provider;
    QString surface;
    std::optional<QString> surfaceMode; // left out of the JSON when absent
    QString conversationId;
    bool historyComplete = false;
    int availableMessageCount = 0;
    std::vector<Message> messages;
    std::optional<Setting> current; // written as null when absent
    std::vector<Setting> available;
    QStringList availableModels;

    friend bool operator==(const Request&, const Request&) = default;

    // Compact JSON, keys in the order above.
    QByteArray encoded() const;
};

// The request for a snapshot; pure and never fails.
Request request(const Snapshot& snapshot);

// What a verified answer says: a recommendation for the card, or a reasoned abstention.
struct Outcome {
    enum class Case { recommendation, abstain };

    Case outcomeCase = Case::abstain;
    std::optional<Recommendation> recommendation;
    QString reason; // abstention only
    std::optional<RoutingDecisionMetadata> metadata;

    bool isAbstain() const { return outcomeCase == Case::abstain; }
    friend bool operator==(const Outcome&, const Outcome&) = default;
};

// An answer that failed verification; its description is the text the card shows.
class Invalid : public std::exception {
public:
    enum class Case {
        schema,
        reason,
        decision,
        setting,
        incompatibleSpeedOrBilling,
        unsupportedRecommendationTarget
    };

    explicit Invalid(Case c) : case_(c) {}
    Case errorCase() const { return case_; }
    QString errorDescription() const;
    const char* what() const noexcept override;
    friend bool operator==(const Invalid& a, const Invalid& b) { return a.case_ == b.case_; }

private:
    Case case_;
    mutable QByteArray what_;
};

// Verifies an answer (status 200) against the snapshot its request was built from. Throws Invalid,
// or DecodingError for a body that is not JSON, lacks a required key or has a wrong type.
Outcome decode(const QByteArray& body, const Snapshot& snapshot);

// Relative cost of one OpenAI model in the work example; none for a model outside the table.
std::optional<double> workExampleCost(const QString& model);

// The saving of `to` against `from` in percent with one decimal, halves away from zero; none
// without a baseline, for a model outside the table, or when the target is not cheaper.
std::optional<double> estimatedSavings(const std::optional<QString>& from, const QString& to);

// "Standard rate reference: <target> (Standard) vs <baseline> (Standard) · <percent> lower".
QString standardRateReference(const QString& target, const QString& baseline, const QString& percent);

} // namespace quillmere::OpenAIRecommendationContract
