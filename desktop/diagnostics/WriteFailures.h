#pragma once

// Files the application owns that it could not write. A file that cannot be saved (a full disk, a
// folder that became read-only) keeps its old bytes, so nothing is damaged, but whatever the
// session added to it is lost at the next start unless a later write succeeds. That must not
// pass in silence, and it must not leak what the file holds or where: every such file reports a
// failed write the same way, by its kind ("conversation memory", "usage ledger", …) and the
// system's error, once on standard error and once as an event line of the debug monitor. Until a
// write of the same file succeeds again, further failures are counted but not repeated.
//
// Everything else the application says about a file of its own is said the same way: a file it
// may not use where it is (refused()) and a file it set aside as damaged (say()).

#include <QList>
#include <QSet>
#include <QString>
#include <cstdio>
#include <optional>

namespace quillmere {

class DebugMonitor;
class Defaults;

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

    // Whether the owner of a file writes it again by itself after a failure: only then is that
    // promised in what is said.
    enum class Retry { no, later };

    // A write of the file of `kind` (of the host `host`; empty for a file of the application's
    // own) failed with the system's description `error`. Says so when this is news (the file had
    // no unresolved failure) and returns whether it was.
    bool failed(const QString& kind, const QString& error, const QString& host = {}, Retry retry = Retry::no);
    // A write of that file succeeded; true when it resolves a failure.
    bool succeeded(const QString& kind, const QString& host = {});

    // The file of `kind` is not used where it is, for `reason` (content-free: OwnedPath's refusal,
    // "not a regular file"), and the application does `instead`. Said once per file for the run;
    // true when this was the first time.
    bool refused(const QString& kind, const QString& reason, const QString& instead,
                 const QString& host = {});
    // refused() for a user-defaults suite whose file was refused; nothing when it was not.
    bool refusedDefaults(const QString& kind, const Defaults& defaults);
    // Says a suite's refusal once (refusedDefaults), then every write the suite makes of its own
    // accord as a save of `kind`: a failure once, until a write (a later change, or the suite's own
    // retry) succeeds again.
    void followDefaults(const QString& kind, Defaults& defaults);

    // Says `line` on the stream and `event` as a debug event of `host` (the application's when
    // empty): the one way every report about a file of the application's is made.
    void say(const QString& line, const QString& event, const QString& host = {});

    const QList<Failure>& failures() const { return failures_; }
    void clear() {
        failures_.clear();
        refusals_.clear();
    }

    static constexpr int failureLimit = 20;

private:
    QString hostOrApplication(const QString& host) const;

    DebugMonitor* monitor_;
    std::FILE* stream_;
    QList<Failure> failures_;
    QSet<QString> refusals_; // kind and host of each refusal said
};

} // namespace quillmere
