#pragma once

// User defaults: one INI file per suite under the user's configuration folder. Values keep the
// type they were stored with: reading a key as another type gives none.
//
// The file is this user's settings, so it is used only where another user cannot have put it
// (OwnedPath's rule for the folders along its path and for the file), only when it is a regular
// file (a FIFO there would block the read for ever) and only when it can be read (a file that
// cannot be read would be replaced by what this run sets alone). Otherwise nothing is read or
// written there: the suite starts empty, so every caller runs on its built-in defaults, and what
// is set is kept for this run only. refusal() says why, for the application to say once.
//
// The values live here; the file is opened only to read it at the start and, judged again first,
// to write what changed (sync(), and on destruction). A file that may no longer be used by then
// (swapped for a FIFO, say) is not opened: the changes stay pending.

#include <QHash>
#include <QString>
#include <QVariant>
#include <optional>

class QSettings;

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
    // Writes pending changes to the file (also done on destruction) and takes up what another
    // process wrote to it meanwhile; false when the file could not be written, or is not used.
    bool sync();
    // Why the last sync() failed (content-free: the rule's reason, the kind of file in the way, or
    // that the write failed); none after a sync that succeeded.
    const std::optional<QString>& syncFailure() const { return syncFailure_; }

    // Why the suite's file is not used (content-free: the reason, never the path); none when it is.
    const std::optional<QString>& refusal() const { return refusal_; }

private:
    std::optional<QString> stored(const QString& group, const QString& key) const;
    void store(const QString& group, const QString& key, const std::optional<QString>& text);
    void takeUp(const QSettings& settings);

    QString file_;
    QHash<QString, QString> values_;                 // typed key: text
    QHash<QString, std::optional<QString>> changes_; // not yet written: the new text, or removed
    std::optional<QString> refusal_;
    std::optional<QString> syncFailure_;
};

} // namespace quillmere
