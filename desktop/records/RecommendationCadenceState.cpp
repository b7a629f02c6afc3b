#include "desktop/records/RecommendationCadenceState.h"

#include "core/Text.h"

namespace quillmere {

namespace {

// Texts typed or read in different normal forms are the same text.
bool sameText(const QString& a, const QString& b) {
    return a == b || text::canonicallyEqual(a, b);
}

} // namespace

bool operator==(const RecommendationCadenceInput& left, const RecommendationCadenceInput& right) {
    if (!sameText(left.context, right.context) || !sameText(left.setting, right.setting) ||
        !sameText(left.text, right.text) || left.turn != right.turn || left.attachment != right.attachment ||
        left.eligible != right.eligible)
        return false;
    if (left.context.startsWith(QLatin1String("claude|"))) {
        if (!sameText(left.availability, right.availability))
            return false;
    } else if (left.availability.isEmpty() != right.availability.isEmpty()) {
        return false;
    }
    return left.historyPosition == right.historyPosition && left.historyCurrent == right.historyCurrent;
}

} // namespace quillmere
