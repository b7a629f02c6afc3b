#include "platform/files/AtomicFile.h"

#include "platform/files/OwnedPath.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

namespace {

constexpr int permissionBits = 07777;

bool fail(QString* error, int code) {
    if (error)
        *error = QString::fromLocal8Bit(std::strerror(code));
    return false;
}

bool fail(QString* error, const QString& description) {
    if (error)
        *error = description;
    return false;
}

int retryingClose(int fd) {
    // Linux releases the descriptor even when close reports EINTR; never close it twice.
    const int result = ::close(fd);
    return (result == -1 && errno == EINTR) ? 0 : result;
}

bool writeAll(int fd, const QByteArray& bytes) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

// Keep temporary names well under NAME_MAX even for long targets.
QString temporaryStem(const QString& fileName) {
    return fileName.left(64);
}

// A name no other writer uses: hidden, beside the target, with random bytes.
QByteArray temporaryName(const QString& folder, const QString& fileName) {
    const quint64 random = QRandomGenerator::system()->generate64();
    return QFile::encodeName(folder + QStringLiteral("/.") + temporaryStem(fileName) + u'.' +
                             QString::number(random, 36) + QStringLiteral(".tmp"));
}

// Whether `name` is one temporaryName() makes for `fileName`.
bool isTemporaryName(const QString& name, const QString& fileName) {
    const QString prefix = u'.' + temporaryStem(fileName) + u'.';
    const QString suffix = QStringLiteral(".tmp");
    if (!name.startsWith(prefix) || !name.endsWith(suffix))
        return false;
    const QStringView random =
        QStringView(name).mid(prefix.size(), name.size() - prefix.size() - suffix.size());
    // A 64-bit number in base 36 has at most 13 digits.
    if (random.isEmpty() || random.size() > 13)
        return false;
    for (QChar c : random)
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z')))
            return false;
    return true;
}

void syncFolder(const QString& folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd); // best effort: the rename is what matters for readers
    retryingClose(fd);
}

// Whether `path` is a regular file (not a link) with exactly `bytes` and `mode`.
bool holdsExactly(const QByteArray& path, const QByteArray& bytes, int mode) {
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status {};
    bool same = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                int(status.st_mode & permissionBits) == mode && status.st_size == bytes.size();
    if (same) {
        QByteArray existing(bytes.size(), Qt::Uninitialized);
        qsizetype got = 0;
        while (got < existing.size()) {
            const ssize_t n = ::read(fd, existing.data() + got, size_t(existing.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        char extra = 0;
        same = got == existing.size() && existing == bytes && ::read(fd, &extra, 1) == 0;
    }
    retryingClose(fd);
    return same;
}

} // namespace

bool AtomicFile::write(const QString& path, const QByteArray& bytes, int mode, QString* error, Sync sync) {
    mode &= permissionBits;
    const QFileInfo target(path);
    const QString fileName = target.fileName();
    if (path.isEmpty() || fileName.isEmpty() || fileName == u"." || fileName == u"..")
        return fail(error, QStringLiteral("Invalid file path"));
    const QString folder = target.absolutePath();
    const QByteArray finalPath = QFile::encodeName(target.absoluteFilePath());

    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temporary = temporaryName(folder, fileName);
        fd = ::open(temporary.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd < 0 && errno != EEXIST && errno != EINTR)
            return fail(error, errno);
    }
    if (fd < 0)
        return fail(error, EEXIST);

    auto abandon = [&](int code) {
        if (fd >= 0)
            retryingClose(fd);
        ::unlink(temporary.constData());
        return fail(error, code);
    };
    // open() applied the umask, which can only have narrowed the mode; set it exactly.
    if (::fchmod(fd, mode_t(mode)) != 0)
        return abandon(errno);
    if (!writeAll(fd, bytes))
        return abandon(errno);
    // No test can see this sync, and it is not dead weight: without it a crash or power loss soon
    // after the rename can leave the new name pointing at a file whose blocks never reached the
    // disk (an empty or zero-filled file on ext4 and others), so the old bytes and the new are
    // both lost. Syncing before the rename is what makes the rename publish a whole file. It is
    // also where a full disk shows on file systems that allocate late: its error is the write's.
    if (sync == Sync::fileAndFolder && ::fsync(fd) != 0)
        return abandon(errno);
    const int closed = retryingClose(fd);
    fd = -1;
    if (closed != 0)
        return abandon(errno);
    // rename() replaces a link at the final path instead of following it.
    if (::rename(temporary.constData(), finalPath.constData()) != 0)
        return abandon(errno);
    if (sync == Sync::fileAndFolder)
        syncFolder(folder);
    return true;
}

bool AtomicFile::writeIfChanged(const QString& path, const QByteArray& bytes, int mode, QString* error,
                                Sync sync) {
    if (!path.isEmpty() &&
        holdsExactly(QFile::encodeName(QFileInfo(path).absoluteFilePath()), bytes, mode & permissionBits))
        return true;
    return write(path, bytes, mode, error, sync);
}

bool AtomicFile::makeFolder(const QString& path, int mode, QString* error) {
    mode &= permissionBits;
    if (path.isEmpty())
        return fail(error, QStringLiteral("Invalid folder path"));
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QStringList parts = absolute.split(u'/', Qt::SkipEmptyParts);
    QString prefix;
    for (const QString& part : parts) {
        prefix += u'/' + part;
        const QByteArray native = QFile::encodeName(prefix);
        struct stat status {};
        if (::stat(native.constData(), &status) == 0) {
            if (!S_ISDIR(status.st_mode))
                return fail(error, ENOTDIR);
            continue;
        }
        if (errno != ENOENT)
            return fail(error, errno);
        if (::mkdir(native.constData(), mode_t(mode)) != 0) {
            if (errno == EEXIST)
                continue; // made by someone else meanwhile; checked below
            return fail(error, errno);
        }
        // mkdir() applied the umask; the new folder gets exactly the mode asked for.
        if (::chmod(native.constData(), mode_t(mode)) != 0)
            return fail(error, errno);
    }
    struct stat status {};
    if (::stat(QFile::encodeName(absolute).constData(), &status) != 0)
        return fail(error, errno);
    return S_ISDIR(status.st_mode) ? true : fail(error, ENOTDIR);
}

namespace {

// Makes each missing folder of `place` where the path really leads, below the folder just judged;
// where the last of them really is, or none (`error` says why).
std::optional<QString> makeMissing(const OwnedPath::FolderPlace& place, QString* error) {
    QString real = place.real;
    for (const QString& name : place.missing) {
        real = (real == u"/" ? QString() : real) + u'/' + name;
        const QByteArray native = QFile::encodeName(real);
        if (::mkdir(native.constData(), 0700) != 0) {
            struct stat status {};
            // Made meanwhile: only this user or root may write the folder above. Judged below.
            if (errno == EEXIST && ::lstat(native.constData(), &status) == 0 && S_ISDIR(status.st_mode))
                continue;
            fail(error, errno == EEXIST ? ENOTDIR : errno);
            return std::nullopt;
        }
        // mkdir() applied the umask; the new folder gets exactly 0700.
        if (::chmod(native.constData(), 0700) != 0) {
            fail(error, errno);
            return std::nullopt;
        }
    }
    return real;
}

} // namespace

std::optional<QString> AtomicFile::makeOwnedFolder(const QString& path, QString* error) {
    std::optional<OwnedPath::FolderPlace> place = OwnedPath::folderPlace(path, error);
    if (!place)
        return std::nullopt;
    if (place->leavesMade) {
        // ".." leaves a folder still to be made: the folders are made one at a time along the path
        // as written, as `mkdir -p` makes them, each judged where it is made, and then the whole
        // path resolves as the system resolves it.
        const QStringList names = path.split(u'/', Qt::SkipEmptyParts);
        QString prefix = path.startsWith(u'/') ? QString() : QDir::currentPath();
        for (const QString& name : names) {
            prefix += u'/' + name;
            struct stat status {};
            if (name == u"." || name == u".." || ::stat(QFile::encodeName(prefix).constData(), &status) == 0)
                continue;
            const std::optional<OwnedPath::FolderPlace> step = OwnedPath::folderPlace(prefix, error);
            if (!step || !makeMissing(*step, error))
                return std::nullopt;
        }
        place = OwnedPath::folderPlace(path, error);
        if (!place)
            return std::nullopt;
        // A folder made along the way was taken away meanwhile.
        if (place->leavesMade) {
            fail(error, ENOENT);
            return std::nullopt;
        }
    }
    const std::optional<QString> made = makeMissing(*place, error);
    if (!made)
        return std::nullopt;
    const QString& real = *made;
    // Judged again once made, where it was made: nothing is written into a folder before that.
    if (!OwnedPath::isOwnedFolder(real)) {
        fail(error, OwnedPath::refusalReason());
        return std::nullopt;
    }
    return real;
}

bool AtomicFile::makePrivateFolder(const QString& path, QString* error) {
    // Every link along the path must lead to a folder of this user's, before anything is created
    // and once the folder is there.
    const std::optional<QString> real = makeOwnedFolder(path, error);
    if (!real)
        return false;
    // O_NOFOLLOW|O_DIRECTORY: the mode of whatever a link points at is not ours to change.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return true; // a link to a folder of this user's: used as it is
    struct stat status {};
    struct stat judged {};
    if (::fstat(fd, &status) == 0 && ::stat(QFile::encodeName(*real).constData(), &judged) == 0 &&
        status.st_dev == judged.st_dev && status.st_ino == judged.st_ino && status.st_uid == ::geteuid() &&
        (status.st_mode & 0077) != 0)
        ::fchmod(fd, mode_t((status.st_mode & 07700) | 0700));
    retryingClose(fd);
    return true;
}

bool AtomicFile::writeOwned(const QString& path, const QByteArray& bytes, QString* error, Sync sync) {
    // Judged again before every write, links resolved: the bytes go where the path really leads
    // (through a link of this user's, to its target, which stays a file of the user's), into
    // folders judged once made, and never over a file the rule refuses.
    const std::optional<QString> real = OwnedPath::ownedFile(path);
    if (!real)
        return fail(error, OwnedPath::refusalReason());
    const qsizetype slash = real->lastIndexOf(u'/');
    if (!makeOwnedFolder(slash <= 0 ? QStringLiteral("/") : real->left(slash), error))
        return false;
    return writeIfChanged(*real, bytes, 0600, error, sync);
}

int AtomicFile::removeStaleTemporaries(const QString& path, int minimumAgeSeconds) {
    const QFileInfo target(path);
    const QString fileName = target.fileName();
    if (fileName.isEmpty())
        return 0;
    const QString folder = target.absolutePath();
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    int removed = 0;
    // The name filter narrows what the listing returns; isTemporaryName() decides.
    QDirIterator entries(folder, {u'.' + temporaryStem(fileName) + QStringLiteral(".*.tmp")},
                         QDir::Files | QDir::Hidden | QDir::System);
    while (entries.hasNext()) {
        const QString entry = entries.next();
        if (!isTemporaryName(entries.fileName(), fileName))
            continue;
        struct stat status {};
        const QByteArray native = QFile::encodeName(entry);
        if (::lstat(native.constData(), &status) != 0 || !S_ISREG(status.st_mode))
            continue;
        if (now - qint64(status.st_mtim.tv_sec) < minimumAgeSeconds)
            continue;
        if (::unlink(native.constData()) == 0)
            ++removed;
    }
    return removed;
}

bool AtomicFile::moveAside(const QString& path, const QString& aside, QString* error) {
    const QByteArray from = QFile::encodeName(path);
    const QByteArray to = QFile::encodeName(aside);
    // link() + unlink() never replaces an existing file, which rename() would.
    if (::link(from.constData(), to.constData()) != 0) {
        if (errno == EEXIST || ::rename(from.constData(), to.constData()) != 0)
            return fail(error, errno);
        // Links not supported here (or across a mount): the caller chose a free name.
    } else if (::unlink(from.constData()) != 0) {
        const int code = errno;
        ::unlink(to.constData());
        return fail(error, code);
    }
    const int fd = ::open(to.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat status {};
        if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode))
            ::fchmod(fd, 0600);
        retryingClose(fd);
    }
    return true;
}

QString Paths::applicationSupport() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    // A folder reached through a link to another user's is not used at all, for reading either:
    // whatever is found there was put there by that user.
    if (folder.isEmpty() || !OwnedPath::existingPartIsOwned(folder))
        return {};
    // Judged again once made: a folder that could not be made (a full disk) is still named, so
    // that writes there fail with the system's error, but never one the rule refuses.
    if (!AtomicFile::makePrivateFolder(folder) && !OwnedPath::existingPartIsOwned(folder))
        return {};
    return folder;
}

QString Paths::inApplicationSupport(const QString& relative) {
    const QString folder = applicationSupport();
    return folder.isEmpty() ? QString() : folder + u'/' + relative;
}

QString Paths::diagnosticsRoot() {
#ifdef Q_OS_MACOS
    return QStringLiteral("/private/tmp");
#else
    return QDir::tempPath();
#endif
}

} // namespace quillmere
