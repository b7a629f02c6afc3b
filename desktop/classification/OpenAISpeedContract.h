#pragma once

// A speed- and billing-aware OpenAI contract that the application keeps switched off: preparing
// its request always refuses, so the live request stays the plain one and any answer that speaks
// of speed or billing is refused by the legacy guard. What is in force are the rules that decide
// whether a model, effort and speed read back from the host's picker can be trusted: within one
// conversation scope and at most 60 seconds old.

#include "core/Json.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <exception>
#include <optional>
#include <vector>

namespace quillmere::OpenAISpeedContract {

enum class Speed { standard, fast, ultrafast, unknown };
enum class BillingSource { purchasedCredits, enterprisePAYG, api, includedUsage, unknown };

QString rawValue(Speed speed);
QString rawValue(BillingSource source);
// Exact lowercase strings only.
std::optional<Speed> speedFromRawValue(const QString& raw);
std::optional<BillingSource> billingSourceFromRawValue(const QString& raw);

struct Setting {
    QString model;
    QString effort;
    Speed speed = Speed::unknown;

    friend bool operator==(const Setting&, const Setting&) = default;
    json::Value toJson() const;
    // All three keys required as strings, the speed one of its exact values.
    static std::optional<Setting> fromJson(const QJsonObject& object);
};

struct Observation {
    Setting setting;
    QString scopeID;
    QDateTime observedAt;
};

struct Choice {
    Observation observation;
    bool enabled = false;
};

struct BillingContext {
    BillingSource source = BillingSource::unknown;
    std::optional<QDateTime> observedAt;

    json::Value toJson() const;
    static std::optional<BillingContext> fromJson(const QJsonObject& object);
};

struct Request {
    int schemaVersion = 0;
    QStringList clientCapabilities;
    Setting current;
    std::vector<Setting> available;
    BillingContext billingContext;
    QString speedChangePolicy;

    json::Value toJson() const;
};

struct Unavailable : std::exception {
    enum class Case { rolloutDisabled };
    Case errorCase = Case::rolloutDisabled;
    const char* what() const noexcept override { return "rolloutDisabled"; }
};

// Always throws Unavailable::rolloutDisabled.
[[noreturn]] Request prepareRequest(const Setting& current, const std::vector<Setting>& available,
                                    const BillingContext& billing);

// Whether a fresh reading in this scope shows exactly the target's model, effort and speed.
bool readbackMatches(const Setting& target, const Observation& observed, const QString& scopeID,
                     const QDateTime& now);

// Whether switching to the target keeps the observed speed: same speed, and every fresh choice
// that is exactly the target is offered as selectable (at least one).
bool preservesObservedSpeed(const Observation& current, const Setting& target,
                            const std::vector<Choice>& choices, const QString& scopeID, const QDateTime& now);

} // namespace quillmere::OpenAISpeedContract
