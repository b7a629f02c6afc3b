#pragma once

// Files the application owns that it could not write. A file that cannot be saved (a full disk, a
// folder that became read-only) keeps its old bytes, so nothing is damaged, but whatever the
// session added to it is lost at the next start unless a later write succeeds. That must not
// pass in silence: each failure is kept here as a content-free fact (which file, the system's
// error, when, how many attempts) for the debug report, and the owner tries again on its next
// change. A later successful write is noted beside the failure rather than erasing it.

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace quillmere {

class WriteFailures {
public:
    struct Failure {
        QString path;
        QString error;
        QDateTime firstFailedAt;
        QDateTime lastFailedAt;
        int failedAttempts = 0;
        // When a write of the same file succeeded after the last failure.
        std::optional<QDateTime> writtenAgainAt;
        bool operator==(const Failure&) const = default;
    };

    // The application's record, used on the main thread.
    static WriteFailures& shared();

    // A write of `path` failed with the system's description `error`. Returns true when this is
    // news (the file had no unresolved failure), so that the caller says so once on standard error
    // rather than on every retry.
    bool failed(const QString& path, const QString& error, const QDateTime& at);
    // A write of `path` succeeded; true when it resolves a failure.
    bool succeeded(const QString& path, const QDateTime& at);

    const QList<Failure>& failures() const { return failures_; }
    void clear() { failures_.clear(); }

    // The lines of the debug report's section; empty when nothing ever failed.
    QStringList reportLines() const;

    static constexpr int failureLimit = 20;

private:
    QList<Failure> failures_;
};

} // namespace quillmere
