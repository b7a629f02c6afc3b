#include "platform/files/AtomicFile.h"

#include <QDir>
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

// A name no other writer uses: hidden, beside the target, with random bytes.
QByteArray temporaryName(const QString& folder, const QString& fileName) {
    const quint64 random = QRandomGenerator::system()->generate64();
    // Keep the name well under NAME_MAX even for long targets.
    const QString stem = fileName.left(64);
    return QFile::encodeName(folder + QStringLiteral("/.") + stem + u'.' + QString::number(random, 36) +
                             QStringLiteral(".tmp"));
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

QString Paths::applicationSupport() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (folder.isEmpty())
        return {};
    AtomicFile::makeFolder(folder, 0700);
    return folder;
}

QString Paths::diagnosticsRoot() {
#ifdef Q_OS_MACOS
    return QStringLiteral("/private/tmp");
#else
    return QDir::tempPath();
#endif
}

} // namespace quillmere
