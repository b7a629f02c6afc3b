#pragma once

// The application bundle's property list ("Info.plist" beside the executable).

#include <QString>
#include <QVariant>
#include <map>
#include <optional>

namespace quillmere {

class BundleInfo {
public:
    // Reads the property list at `path`; a missing or unreadable file gives an empty bundle.
    static BundleInfo load(const QString& path);
    // The bundle of the running executable.
    static const BundleInfo& main();

    std::optional<QString> bundleIdentifier() const { return string("CFBundleIdentifier"); }
    std::optional<QString> string(const QString& key) const;
    // True only for a <true/> value; a string "YES" or a number is not a Boolean.
    bool isTrue(const QString& key) const;
    std::optional<bool> boolean(const QString& key) const;

private:
    std::map<QString, QVariant> values_; // QString or bool (top-level keys of the dict)
};

} // namespace quillmere
