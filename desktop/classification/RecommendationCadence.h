#pragma once

// When a host widget's conversation is worth (re)classifying.
//
// The widget reads the host about four times a second and hands each reading to the cadence as a
// small comparable summary (`Input`). The cadence waits for the input to stay unchanged for a quiet
// period, refuses inputs that cannot be classified, and grants numbered tickets only when
// something material changed since the last completed classification. Every decision leaves a
// short code in `reason` for the diagnostics. It is a plain value with no clock or timer: every
// operation that needs time takes the caller's monotonic uptime in seconds.

#include "desktop/records/RecommendationCadenceState.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace quillmere {

struct RecommendationCadence : RecommendationCadenceState {
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

} // namespace quillmere
