#pragma once

// User defaults: one INI file per suite under the user's configuration folder.

#include <QString>
#include <QVariant>
#include <memory>
#include <optional>

class QSettings;

namespace quillmere {

class Defaults {
public:
    // The application's standard suite.
    static Defaults& standard();
    // A named suite; `folder` overrides the configuration folder (tests).
    explicit Defaults(const QString& suite, const QString& folder = {});
    ~Defaults();

    std::optional<QString> string(const QString& key) const;
    std::optional<bool> boolean(const QString& key) const;
    std::optional<double> number(const QString& key) const;
    void set(const QString& key, const QVariant& value);
    void remove(const QString& key);
    void sync();

private:
    std::unique_ptr<QSettings> settings_;
};

} // namespace quillmere
