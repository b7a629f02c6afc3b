#pragma once

// User defaults: one INI file per suite under the user's configuration folder. Values keep the
// type they were stored with: reading a key as another type gives none.
//
// The file is this user's settings, so it is used only where another user cannot have put it
// (OwnedPath's rule for the folders along its path and for the file), only when it is a regular
// file (a FIFO there would block the read for ever), only when it can be read (a file that
// cannot be read would be replaced by what this run sets alone) and only up to a size no real
// settings file comes near (a larger one would hold the start and the memory while it is read). Otherwise
// nothing is read or written there: the suite starts empty, so every caller runs on its built-in defaults,
// and what is set is kept for this run only. refusal() says why, for the application to say once.
//
// The values live here. Every change reaches the file on the next turn of the event loop (changes
// made in one turn are written together), or at once through sync(). Each write judges the file
// again first: a file that may no longer be used (swapped for a FIFO, say) is not opened, and the
// changes stay pending. Writers of the file take turns through the lock QSettings takes on it (a
// file named as the suite's with ".lock" added, beside that name where it really is), so a program
// writing the file through QSettings takes turns with this one too; in its turn a write reads the
// file again, keeps what others saved there and replaces it. While an event loop runs, a write
// never waits for another process's turn: it tries, and a write that failed for any reason is
// tried again shortly (the wait growing to a couple of seconds while it keeps failing) until it is
// written. Another writer's turn is only said once it has lasted some seconds; any other failure is
// said at once. Where the lock's place holds anything but a lock file (a FIFO, a link, a folder),
// or the lock cannot be made, the write fails at once. Without an application object (no loop to
// come back on) a change is written at once and may wait a few seconds for its turn.
//
// The last write of every suite happens as the application object is destroyed, while it still
// exists; a suite that goes while the application runs writes what is pending as it goes. Once the
// application has ended, or the process runs its exit handlers, nothing of Qt's settings code runs
// any more: what is still pending then is said on standard error, not attempted.
//
// The file is read through the rule with a bound on its size, never written larger than that bound
// (the next start would refuse it), and written whole through AtomicFile, 0600 in folders made
// 0700, whatever the umask. The INI form itself is Qt's own: Qt reads the very file opened and
// judged here, through its descriptor, and writes a copy of it in a folder made for the one write
// beside the file (see SettingsFileRead.h and SettingsCopyFolder.h); what it wrote is read back and
// compared with what was meant before it replaces the file. A start removes the copies that writes
// killed before their end left.

#include <QHash>
#include <QString>
#include <QVariant>
#include <functional>
#include <memory>
#include <optional>

namespace quillmere {

class Defaults {
public:
    // The application's standard suite, named for the bundle identifier.
    static Defaults& standard();
    // A named suite ("<suite>.ini"); `folder` overrides the configuration folder (tests).
    explicit Defaults(const QString& suite, const QString& folder = {});
    ~Defaults();

    std::optional<QString> string(const QString& key) const;
    std::optional<bool> boolean(const QString& key) const;
    std::optional<double> number(const QString& key) const;
    // Stores a string, a Boolean or a number (any arithmetic type, kept as a double); an invalid
    // QVariant removes the key; other types are refused with a warning.
    void set(const QString& key, const QVariant& value);
    void remove(const QString& key);
    // Writes pending changes to the file now and takes up what another process wrote to it
    // meanwhile; false when the file could not be read or written, or is not used. Without an
    // application object (no event loop to wait for) every change is written this way at once.
    // A failed write stays pending and, while an event loop runs, is tried again shortly.
    bool sync();
    // Why the last write failed (content-free: the rule's reason, the kind of file in the way, or
    // the system's error); none after a write that succeeded.
    const std::optional<QString>& syncFailure() const { return syncFailure_; }
    // Called after each write the suite makes of its own accord (a change written on the next turn,
    // or tried again), with syncFailure(), so that a failure can be said; not while another writer's
    // turn is still short. Not called for sync() or on destruction.
    void setWriteReport(std::function<void(const std::optional<QString>& failure)> report) {
        writeReport_ = std::move(report);
    }

    // Settings files are a few hundred bytes; a larger one than this is refused ("too large")
    // rather than read.
    static constexpr qint64 maximumFileBytes = 1024 * 1024;

    // Why the suite's file is not used (content-free: the reason, never the path); none when it is.
    const std::optional<QString>& refusal() const { return refusal_; }

private:
    std::optional<QString> stored(const QString& group, const QString& key) const;
    void store(const QString& group, const QString& key, const std::optional<QString>& text);
    void takeUp(const QHash<QString, QString>& strings);
    bool sync(int waitMilliseconds);
    std::optional<QString> write(const QString& real, int waitMilliseconds);
    void scheduleWrite();
    void scheduleRetry();
    void dropRetry();
    void writeOfItsOwnAccord();
    bool loopRuns() const;
    void sayLost(const QString& reason) const;
    static void watchApplication();
    static void writeLast();

    QString file_;
    QHash<QString, QString> values_;                 // typed key: text
    QHash<QString, std::optional<QString>> changes_; // not yet written: the new text, or removed
    std::optional<QString> refusal_;
    std::optional<QString> syncFailure_;
    std::function<void(const std::optional<QString>&)> writeReport_;
    bool writeScheduled_ = false;
    bool ended_ = false;           // the application's last write is done
    std::optional<quint64> retry_; // a write tried again is scheduled
    quint64 retryToken_ = 0;       // which one is still wanted
    double retryWait_ = 0;
    std::optional<double> busySince_; // another writer's turn, first met at this time
    // Expires with the suite, so that a write posted to the event loop never outlives it.
    std::shared_ptr<char> alive_ = std::make_shared<char>();
};

} // namespace quillmere
