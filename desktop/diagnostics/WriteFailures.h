#pragma once

// Files the application owns that it could not write. A file that cannot be saved (a full disk, a
// folder that became read-only) keeps its old bytes, so nothing is damaged, but whatever the
// session added to it is lost at the next start unless a later write succeeds. That must not
// pass in silence, and it must not leak what the file holds or where: every such file reports a
// failed write the same way, by its kind ("conversation memory", "usage ledger", …) and the
// system's error, once on standard error and once as an event line of the debug monitor. Until a
// write of the same file succeeds again, further failures are counted but not repeated.

#include <QList>
#include <QString>
#include <cstdio>

namespace quillmere {

class DebugMonitor;

class WriteFailures {
public:
    struct Failure {
        QString kind;
        QString host; // the host the file belongs to; the application's own when none
        QString error;
        int failedAttempts = 0;
        bool writtenAgain = false; // a write of the same file succeeded after the last failure
        bool operator==(const Failure&) const = default;
    };

    // Reports to `monitor` (the shared one when none) and to `stream` (standard error when none).
    explicit WriteFailures(DebugMonitor* monitor = nullptr, std::FILE* stream = nullptr);

    // The application's record, used on the main thread.
    static WriteFailures& shared();

    // A write of the file of `kind` (of the host `host`; empty for a file of the application's
    // own) failed with the system's description `error`. Says so when this is news (the file had
    // no unresolved failure) and returns whether it was.
    bool failed(const QString& kind, const QString& error, const QString& host = {});
    // A write of that file succeeded; true when it resolves a failure.
    bool succeeded(const QString& kind, const QString& host = {});

    const QList<Failure>& failures() const { return failures_; }
    void clear() { failures_.clear(); }

    static constexpr int failureLimit = 20;

private:
    QString hostOrApplication(const QString& host) const;

    DebugMonitor* monitor_;
    std::FILE* stream_;
    QList<Failure> failures_;
};

} // namespace quillmere
