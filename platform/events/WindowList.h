#pragma once

// The window server's list of windows. Entries are loosely typed dictionaries, as the window
// server returns them: readers must check each value's type, and a missing or mistyped value
// means the entry does not match.

#include <QList>
#include <QString>
#include <QVariantMap>

namespace quillmere {

namespace windowinfo {
inline const QString ownerPID = QStringLiteral("kCGWindowOwnerPID");
inline const QString layer = QStringLiteral("kCGWindowLayer");
inline const QString ownerName = QStringLiteral("kCGWindowOwnerName");
inline const QString bounds = QStringLiteral("kCGWindowBounds");
inline const QString isOnscreen = QStringLiteral("kCGWindowIsOnscreen");
inline const QString number = QStringLiteral("kCGWindowNumber");
inline const QString name = QStringLiteral("kCGWindowName");

// Only windows currently on screen.
inline constexpr int optionOnScreenOnly = 1;
// Leave out the desktop's own elements (wallpaper, icons).
inline constexpr int optionExcludeDesktopElements = 16;
} // namespace windowinfo

class WindowList {
public:
    virtual ~WindowList() = default;

    // The windows, front to back, filtered by `options` (windowinfo::option… bits).
    virtual QList<QVariantMap> copyWindowInfo(int options) = 0;

    // Never null: without a simulated desktop the list is empty.
    static WindowList& current();
    static void setCurrent(WindowList* list);
};

} // namespace quillmere
