#pragma once

// The application bundle's property list ("Info.plist" beside the executable).

#include <QString>
#include <QVariant>
#include <map>
#include <optional>

namespace quillmere {

class BundleInfo {
public:
    // Reads the property list at `path`; a missing, unreadable or malformed file gives an empty
    // bundle. Top-level keys with string, Boolean, integer and real values are kept; nested
    // dictionaries, arrays, data and dates are skipped.
    static BundleInfo load(const QString& path);
    // The bundle of the running executable: "Info.plist" in the executable's folder.
    static const BundleInfo& main();

    std::optional<QString> bundleIdentifier() const { return string("CFBundleIdentifier"); }
    std::optional<QString> string(const QString& key) const;
    // Whether the key is present, whatever the type of its value (also a dictionary or array).
    bool contains(const QString& key) const;
    // True only for a <true/> value; a string "YES" or a number is not a Boolean.
    bool isTrue(const QString& key) const;
    // The Boolean stored at `key`; none when absent or of another type.
    std::optional<bool> boolean(const QString& key) const;

private:
    std::map<QString, QVariant> values_; // QString, bool, qlonglong or double by the stored type
};

} // namespace quillmere
