#pragma once

// User defaults: one INI file per suite under the user's configuration folder. Values keep the
// type they were stored with: reading a key as another type gives none.
//
// The file is this user's settings, so it is used only where another user cannot have put it
// (OwnedPath's rule for the folders and links along its path) and only when it is a regular file
// (a FIFO there would block the read for ever). Otherwise nothing is read or written there: the
// suite starts empty, so every caller runs on its built-in defaults, and what is set is kept for
// this run only. refusal() says why, for the application to say once.

#include <QHash>
#include <QString>
#include <QVariant>
#include <memory>
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
    // Writes pending changes to the file (also done on destruction); false when the file could
    // not be written, or is not used.
    bool sync();

    // Why the suite's file is not used (content-free: the reason, never the path); none when it is.
    const std::optional<QString>& refusal() const { return refusal_; }

private:
    std::optional<QString> stored(const QString& group, const QString& key) const;
    void store(const QString& group, const QString& key, const QString& text);

    QString file_;
    std::unique_ptr<QSettings> settings_; // none when the file is refused
    QHash<QString, QString> unsaved_;     // the values of a refused suite, for this run only
    std::optional<QString> refusal_;
};

} // namespace quillmere
