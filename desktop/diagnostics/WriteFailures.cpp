#include "desktop/diagnostics/WriteFailures.h"

#include "core/IsoTime.h"

namespace quillmere {

WriteFailures& WriteFailures::shared() {
    static WriteFailures failures;
    return failures;
}

bool WriteFailures::failed(const QString& path, const QString& error, const QDateTime& at) {
    for (Failure& failure : failures_) {
        if (failure.path != path)
            continue;
        const bool news = failure.writtenAgainAt.has_value();
        if (news) {
            failure.firstFailedAt = at;
            failure.failedAttempts = 0;
        }
        failure.error = error;
        failure.lastFailedAt = at;
        failure.failedAttempts += 1;
        failure.writtenAgainAt.reset();
        return news;
    }
    // One entry per file, the oldest dropped first, so a failing disk cannot grow the record.
    if (failures_.size() >= failureLimit)
        failures_.removeFirst();
    failures_.append(Failure{path, error, at, at, 1, std::nullopt});
    return true;
}

bool WriteFailures::succeeded(const QString& path, const QDateTime& at) {
    for (Failure& failure : failures_) {
        if (failure.path == path && !failure.writtenAgainAt) {
            failure.writtenAgainAt = at;
            return true;
        }
    }
    return false;
}

QStringList WriteFailures::reportLines() const {
    if (failures_.isEmpty())
        return {};
    QStringList lines{QStringLiteral("FILES THAT COULD NOT BE SAVED")};
    for (const Failure& failure : failures_) {
        QString line =
            failure.path + QStringLiteral(": ") + failure.error + QStringLiteral(" \u2022 failed ") +
            QString::number(failure.failedAttempts) +
            (failure.failedAttempts == 1 ? QStringLiteral(" time, ") : QStringLiteral(" times, ")) +
            (failure.failedAttempts == 1 ? QStringLiteral("at ") : QStringLiteral("first at ")) +
            isotime::format(failure.firstFailedAt);
        if (failure.failedAttempts > 1)
            line += QStringLiteral(", last at ") + isotime::format(failure.lastFailedAt);
        line += failure.writtenAgainAt
                    ? QStringLiteral(" \u2022 saved again at ") + isotime::format(*failure.writtenAgainAt)
                    : QStringLiteral(" \u2022 not saved since; retried on the next change");
        lines << line;
    }
    lines << QString();
    return lines;
}

} // namespace quillmere
