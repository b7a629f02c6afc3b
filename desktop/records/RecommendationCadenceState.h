#pragma once

// What the recommendation cadence knows at a moment: the small comparable summary of a host
// reading it schedules on (`Input`) and the state it keeps between readings. The cadence's rules
// live with the classifier; the state is a plain record here because the debug monitor reports it
// and the window tracker produces its inputs.

#include <QString>
#include <optional>

namespace quillmere {

struct RecommendationCadenceInput {
    QString context; // provider raw value, "|", conversation id
    QString setting; // current model setting, surface and whether it was read reliably
    QString text;    // latest user message (or the last few when it is very short)
    int turn = 1;    // user turn number
    bool attachment = false;
    bool eligible = true;
    QString availability; // sorted tokens of the host's selectable settings, joined with ","
    std::optional<int> historyPosition;
    bool historyCurrent = true;

    // The availability text is compared only for Claude conversations, where it lists model
    // versions; elsewhere the picker's options come and go as menus open, so only whether any
    // are known counts.
    friend bool operator==(const RecommendationCadenceInput& left, const RecommendationCadenceInput& right);
};

struct RecommendationCadenceState {
    using Input = RecommendationCadenceInput;

    std::optional<Input> input;
    int generation = 0;
    QString reason = QStringLiteral("waiting");
    int requestCount = 0;
    double changedAt = 0;
    std::optional<Input> baseline;
    std::optional<Input> attempted;
    int nextSafetyTurn = 8;
    std::optional<QString> contextID;
    std::optional<int> highestPosition;
    bool historyWasUnavailable = false;
    int transientFailures = 0;
    bool unreadable = false;
    bool unreadableRecoveryPending = false;
    int recoveryConsecutiveReads = 0;
    std::optional<double> lastRecoveryRequestAt;
};

} // namespace quillmere
