#pragma once

// Turns at a settings file, for Defaults alone (not for the rest of the application): writers of
// the file take turns through the lock QSettings takes on it, so that a program writing it through
// QSettings takes turns with this one too.

#include <QString>
#include <optional>

class QLockFile;

namespace quillmere::settings {

// What is said while another writer holds its turn.
extern const QString busy;

// Takes the turn at the file, waiting at most `waitMilliseconds` for another writer's to end (a
// turn takes milliseconds, and a lock left by a process that died is taken over at once). Polled in
// short steps, since QLockFile's own wait sleeps a tenth of a second and more between tries, which
// two busy writers always hit. A lock that cannot be made at all, and what is in the way without
// being a lock (said before QLockFile opens it), fail at once. None when the turn is had.
std::optional<QString> takeTurn(QLockFile& lock, int waitMilliseconds);

} // namespace quillmere::settings
