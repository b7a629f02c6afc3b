#include "desktop/classification/AnalysisDebouncer.h"

#include <limits>
#include <stdexcept>

namespace quillmere {

bool AnalysisDebouncer::observe(const std::optional<QString>& newSignature, double now) {
    if (newSignature == signature)
        return false;
    // The counter only ever grows; wrapping around would make a stale result look current.
    if (generation == std::numeric_limits<int>::max())
        throw std::overflow_error("analysis generation overflow");
    signature = newSignature;
    ++generation;
    lastChangeAt = now;
    return true;
}

std::optional<int> AnalysisDebouncer::takeRequest(double now) {
    if (!signature)
        return std::nullopt;
    // Written as "not (delay <= elapsed)" so that a NaN time never grants a request.
    if (!(delay <= now - lastChangeAt))
        return std::nullopt;
    if (lastRequested == generation)
        return std::nullopt;
    lastRequested = generation;
    return generation;
}

bool AnalysisDebouncer::accepts(int forGeneration) const {
    return signature.has_value() && forGeneration == generation;
}

} // namespace quillmere
