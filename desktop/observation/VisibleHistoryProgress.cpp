#include "desktop/observation/VisibleHistoryProgress.h"

#include <QSet>
#include <algorithm>
#include <limits>

namespace quillmere {

int VisibleHistoryProgress::observe(const QString& context, const std::vector<int>& positions, int fallback) {
    Progress entry = conversations.value(context);
    QSet<int> seen;
    for (int position : positions)
        if (position >= 1)
            seen.insert(position);
    if (!seen.isEmpty()) {
        int above = 0;
        int largest = 0;
        for (int position : seen) {
            if (position > entry.highest)
                ++above;
            largest = std::max(largest, position);
        }
        if (entry.highest != 0) {
            const int used = std::min(entry.positionlessCredit, above);
            entry.count =
                int(std::min<qint64>(std::numeric_limits<int>::max(), qint64(entry.count) + above - used));
            entry.positionlessCredit -= used;
        } else {
            entry.positionlessCredit = 0;
            entry.count = std::max(entry.count, above);
        }
        entry.highest = std::max(entry.highest, largest);
    } else if (entry.highest >= 1 && entry.count < fallback) {
        // Saturating: an absurd count from a broken read must not wrap around.
        entry.positionlessCredit =
            int(std::min<qint64>(std::numeric_limits<int>::max(),
                                 qint64(entry.positionlessCredit) + qint64(fallback) - entry.count));
    }
    const int result = std::max(fallback, entry.count);
    entry.count = result;
    conversations.insert(context, entry);
    return result;
}

} // namespace quillmere
