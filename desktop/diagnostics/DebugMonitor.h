#pragma once

// The live, content-free debug state of every host the application watches. On every tick each
// host widget hands the monitor what it knows; the monitor keeps a table of string fields per
// host, notes changes as timestamped event lines, keeps a short history of scan records per host
// and rewrites one JSON file per host. It stores counts, flags, filtered model names, the callers'
// phase and reason codes and fingerprints, never conversation text, titles or identifiers in
// clear.
//
// Every update is recorded in memory exactly. The application's monitor coalesces only the file
// rewrites (FileWrites::coalesced): five hosts at four ticks a second would otherwise keep the disk
// busy with files that differ in little more than their time.
//
// Conversation identities appear in diagnostics only as salted fingerprints: the salt is made
// fresh for each process and never leaves memory, so a fingerprint names a conversation within
// one run without revealing it, and cannot be matched across runs.

#include "desktop/records/ConversationSnapshot.h"
#include "desktop/records/Recommendation.h"
#include "desktop/records/RecommendationCadenceState.h"
#include "platform/time/Clock.h"

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <optional>

namespace quillmere {

class DebugMonitor {
public:
    using Fields = QMap<QString, QString>;

    struct Entry {
        Fields values;
        QDateTime updatedAt;
        bool operator==(const Entry&) const = default;
    };

    // When a host's file is rewritten. `everyUpdate`: on every update. `coalesced`: at once when
    // anything in it changes other than its time, the quiet interval (which grows with the time)
    // and the scan records, or when the file is missing; otherwise once `fileRefreshSeconds` have
    // passed since it was written, so a file is never further behind the monitor's state than that.
    enum class FileWrites { everyUpdate, coalesced };
    static constexpr double fileRefreshSeconds = 3.0;

    // A monitor with a fresh salt and empty state, writing its per-host files into `folder`.
    explicit DebugMonitor(QString folder, const Clock& clock = Clock::system(),
                          FileWrites writes = FileWrites::everyUpdate);
    DebugMonitor(const DebugMonitor&) = delete;
    DebugMonitor& operator=(const DebugMonitor&) = delete;

    // The process-wide monitor, created on first use; it writes into Paths::diagnosticsRoot(),
    // coalesced.
    static DebugMonitor& shared();

    // Records one update of one host and rewrites the host's debug file (see FileWrites).
    void update(const QString& host,
                const std::optional<ClaudeWindowTrackerConversationSnapshot>& conversation,
                const RecommendationCadenceState& cadence, const QString& phase, bool active,
                const QString& extraction, const std::optional<Recommendation>& recommendation,
                bool recommendationCurrent, bool accessibilityGranted, const QDateTime& at, double uptime,
                bool scanAttempted);

    // Rewrites every file that is behind its host's state: the last word before the process ends.
    void writePendingFiles();

    // Appends one event line ("<time>  [<host>]  <message>"), keeping the newest 200.
    void event(const QString& host, const QString& message, const QDateTime& at);
    void event(const QString& host, const QString& message);

    // The first 8 bytes of SHA-256 over the salt followed by the text, as 16 lower-case
    // hexadecimal digits. Equal texts give equal fingerprints within this monitor.
    QString fingerprint(QStringView text) const;

    // The plain-text debug report, ages measured against `at`.
    QString report(const QDateTime& at) const;
    QString report() const;

    // The sentence shown after "Why: " for a cadence reason code; other codes unchanged.
    static QString explanation(const QString& reason);

    const QMap<QString, Entry>& entries() const { return entries_; }
    const QStringList& events() const { return events_; }
    const QMap<QString, QList<Fields>>& scanEvents() const { return scanEvents_; }
    const QMap<QString, QString>& lastChanges() const { return lastChanges_; }
    const QString& folder() const { return folder_; }

    static constexpr int eventLimit = 200;
    static constexpr int fileEventLimit = 40;
    static constexpr int scanRecordLimit = 160;

protected:
    // For tests that pin the digest: a monitor whose salt is given.
    DebugMonitor(QString folder, QString salt, const Clock& clock,
                 FileWrites writes = FileWrites::everyUpdate);

private:
    // Which parts of a host's cadence input changed since its previous update.
    struct InputChanges {
        Fields description;
        bool context = false;
        bool setting = false;
        bool text = false;
    };

    // What a host's file holds, as far as deciding to rewrite it goes.
    struct WrittenFile {
        Fields fields;
        double changedAt = 0; // the cadence's, which the quiet interval counts from
        quint64 eventCount = 0;
        double uptime = 0; // when it was written
        bool behind = false;
    };

    // The steps of update(), in order.
    InputChanges noteInputChanges(const QString& host, const std::optional<RecommendationCadenceInput>& input,
                                  const QDateTime& at);
    static void
    addConversationFields(Fields& fields,
                          const std::optional<ClaudeWindowTrackerConversationSnapshot>& conversation,
                          const std::optional<Recommendation>& recommendation);
    static void addSummaryFields(Fields& fields, const QString& extraction, bool active, bool hasInput);
    void recordScan(const QString& host, const Fields& fields, const QDateTime& at);
    void noteReadableWindowAndPhase(const QString& host, const Fields& fields, const QString& phase,
                                    const QString& reason, bool contextChanged, const QDateTime& at);
    void writeFileIfDue(const QString& host, double changedAt, double uptime);
    void writeFile(const QString& host) const;
    bool fileIsThere(const QString& host) const;

    // The canonical upper-case form of a random UUID; never written, logged or shown.
    QString salt_;
    QString folder_;
    const Clock& clock_;
    FileWrites writes_;
    QMap<QString, Entry> entries_;
    QStringList events_;
    quint64 eventCount_ = 0; // every line ever added, where events_ keeps the newest
    QMap<QString, QList<Fields>> scanEvents_;
    QMap<QString, RecommendationCadenceInput> previousInputs_;
    QMap<QString, Fields> previousFields_;
    QMap<QString, QString> lastChanges_;
    QMap<QString, WrittenFile> writtenFiles_;
};

} // namespace quillmere
