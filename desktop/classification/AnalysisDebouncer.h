#pragma once

// A generation counter with a quiet delay: a stream of conversation signatures becomes at most one
// analysis request per distinct signature, once that signature has stayed unchanged for `delay`
// seconds. Time comes from the caller on every call; nothing runs in the background.

#include <QString>
#include <optional>

namespace quillmere {

struct AnalysisDebouncer {
    std::optional<QString> signature;
    int generation = 0;
    double lastChangeAt = 0;
    std::optional<int> lastRequested;
    double delay = 0;

    explicit AnalysisDebouncer(double delay = 0) : delay(delay) {}

    // Records the latest signature; true when it differs from the stored one (an absent
    // signature after a present one is a change too).
    bool observe(const std::optional<QString>& newSignature, double now);
    // The generation to analyse now, at most once per generation, and only after the quiet delay.
    std::optional<int> takeRequest(double now);
    // Whether a result computed for `forGeneration` still belongs to the current signature.
    bool accepts(int forGeneration) const;
};

} // namespace quillmere
