#include "platform/config/SettingsLock.h"

#include "platform/config/SettingsFileRead.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLockFile>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace quillmere::settings {

namespace {

// Why the turn at the file could not be had.
QString lockFailure(QLockFile::LockError error, int code) {
    switch (error) {
    case QLockFile::LockFailedError:
        return QStringLiteral("in use by another process");
    case QLockFile::PermissionError:
        return QString::fromLocal8Bit(std::strerror(EACCES));
    default:
        // A lock file that could not be made or written (no room, no descriptor left).
        return reasonLeftByQt(code, QStringLiteral("could not be locked"));
    }
}

// Whether something other than a lock file is in a lock file's place. QLockFile opens a lock it
// finds to read whose it is, as it is: a FIFO there blocks that open until a writer comes, for ever,
// and a link to a device feeds it without end. To take over a lock left by a writer that died it
// takes a second lock named with ".rmlock" added, read the same way, and so on while those are
// left too. QLockFile only ever makes regular files there, never links; anything else (a FIFO, a
// folder, a link) is nobody's turn and does not go away by itself.
bool lockPlaceTaken(const QString& lockPath) {
    for (QString name = lockPath;; name += QStringLiteral(".rmlock")) {
        struct stat status {};
        if (::lstat(QFile::encodeName(name).constData(), &status) != 0)
            return false; // nothing there (or a name too long to be made): QLockFile goes no further
        if (!S_ISREG(status.st_mode))
            return true;
    }
}

} // namespace

const QString busy = lockFailure(QLockFile::LockFailedError, 0);

std::optional<QString> takeTurn(QLockFile& lock, int waitMilliseconds) {
    const QDeadlineTimer deadline(waitMilliseconds);
    for (;;) {
        if (lockPlaceTaken(lock.fileName()))
            return QStringLiteral("its lock file is not a regular file");
        errno = 0;
        if (lock.tryLock(0))
            return std::nullopt;
        const int code = errno;
        if (lock.error() != QLockFile::LockFailedError || deadline.hasExpired())
            return lockFailure(lock.error(), code);
        QThread::msleep(2);
    }
}

} // namespace quillmere::settings
