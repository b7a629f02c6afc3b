#pragma once

// When a host widget's conversation is worth (re)classifying.
//
// The widget reads the host about four times a second and hands each reading to the cadence as a
// small comparable summary (`Input`). The cadence waits for the input to stay unchanged for a quiet
// period, refuses inputs that cannot be classified, and grants numbered tickets only when
// something material changed since the last completed classification. Every decision leaves a
// short code in `reason` for the diagnostics. It is a plain value with no clock or timer: every
// operation that needs time takes the caller's monotonic uptime in seconds.

#include <QHash>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace quillmere {

struct RecommendationCadence {
    struct Input {
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
        friend bool operator==(const Input& left, const Input& right);
    };

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

    // Records the latest input; true when something changed (the caller then cancels any running
    // request).
    bool observe(const std::optional<Input>& newInput, double now);
    // The ticket for a request due now, or none; always sets `reason`.
    std::optional<int> takeRequest(double now);
    // A result for this ticket may still be used.
    bool accepts(int ticket) const;
    // A request for this ticket produced an answer that was used.
    void complete(int ticket);
    // A request for this ticket failed with a service error.
    void fail(int ticket, double now);
    // The conversation became unreadable; true when this started a suspension.
    bool suspendUnreadable();
    // The recommendation on the card is stale for this input.
    bool needsRecommendationRefresh(const Input& candidate) const;
    // The input is classifiable in the current conversation.
    bool permits(const Input& candidate) const;

    // Whether the task changed materially between the user text of the last classification and
    // the current one, judged without any service call.
    static bool materialChange(const QString& from, const QString& to);
    // The keyword task profile of a text: "high_stakes", "deep", "code", "writing", "transform"
    // or "unknown".
    static QString profile(const QString& text);

    // Quiet period before a changed input is classified, and the minimum spacing of recovery
    // requests, in seconds.
    static constexpr double quietPeriod = 5.0;
    static constexpr double recoveryBackoff = 5.0;

private:
    static QStringList words(const QString& text);
    void grant(const QString& why, double now);
};

// How far a conversation's visible history has been seen across reads: a never-decreasing count of
// user turns per conversation, from the history positions visible in each read and, when none are
// readable, a fallback count.
struct VisibleHistoryProgress {
    struct Progress {
        int highest = 0;            // highest positive history position seen
        int count = 0;              // items counted so far
        int positionlessCredit = 0; // items counted from the fallback while no positions showed

        friend bool operator==(const Progress&, const Progress&) = default;
    };

    QHash<QString, Progress> conversations;

    int observe(const QString& context, const std::vector<int>& positions, int fallback);
};

} // namespace quillmere
