#pragma once

#include <QHash>
#include <QString>
#include <vector>

namespace quillmere {

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
