#pragma once

// User defaults: one INI file per suite under the user's configuration folder. Values keep the
// type they were stored with: reading a key as another type gives none.

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
    // not be written.
    bool sync();

private:
    std::unique_ptr<QSettings> settings_;
};

} // namespace quillmere
