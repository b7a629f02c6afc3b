#include "desktop/shell/WidgetVisibility.h"

namespace quillmere::WidgetVisibility {

namespace {

// The shared columns of `allows` and `showsLauncher`.
bool inFront(const QString& owner, const std::optional<QString>& frontmost,
             const std::optional<QString>& quillmere, bool key) {
    if (!frontmost)
        return false;
    if (*frontmost == owner)
        return true;
    if (quillmere && *frontmost == *quillmere)
        return key;
    return false;
}

} // namespace

bool allows(const QString& owner, const std::optional<QString>& frontmost,
            const std::optional<QString>& quillmere, bool key, bool dismissed) {
    return !dismissed && inFront(owner, frontmost, quillmere, key);
}

bool shouldScanHost(const QString& owner, const std::optional<QString>& frontmost,
                    const std::optional<QString>& quillmere, bool key) {
    if (!frontmost || *frontmost != owner)
        return false;
    return !(quillmere && *quillmere == owner && key);
}

bool showsLauncher(const QString& owner, const std::optional<QString>& frontmost,
                   const std::optional<QString>& quillmere, bool key, bool dismissed) {
    return dismissed && inFront(owner, frontmost, quillmere, key);
}

} // namespace quillmere::WidgetVisibility
