#include "platform/config/SettingsCopyFolder.h"

#include "platform/config/SettingsFileRead.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quillmere::settings {

namespace {

QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

int retryingClose(int fd) {
    return fd < 0 ? 0 : ::close(fd);
}

// An open descriptor, closed with the object.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { retryingClose(fd_); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

const QString copyFolderInfix = QStringLiteral(".copy-");
const QByteArray copyFileName = "copy.ini";
constexpr int staleCopySeconds = 30;
constexpr int randomLength = 6; // mkdtemp()'s

bool isRandomPart(QStringView part) {
    if (part.size() != randomLength)
        return false;
    return std::all_of(part.begin(), part.end(), [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
    });
}

// ".<file>.copy-XXXXXX", for the suite's file named `fileName`.
bool isCopyFolderName(const QString& name, const QString& fileName) {
    const QString stem = u'.' + fileName + copyFolderInfix;
    return name.startsWith(stem) && isRandomPart(QStringView(name).mid(stem.size()));
}

// What Qt's INI code and this file make inside a copy folder: the copy, its lock (and the lock
// that takes over a dead writer's), and the new file Qt writes before renaming it.
bool isCopyEntryName(const QByteArray& name) {
    if (name == copyFileName || name == copyFileName + ".lock" || name == copyFileName + ".lock.rmlock")
        return true;
    return name.startsWith(copyFileName + '.') &&
           isRandomPart(QString::fromLatin1(name.mid(copyFileName.size() + 1)));
}

// Opens this user's folder `name`, in the folder open at `parent`, to read it; never through a
// link. mkdtemp() made it 0700 less the umask's bits, which may include the owner's own: a folder
// its owner cannot read or enter can be neither filled, checked nor emptied, so those are given
// back first, to the very folder found (by its descriptor's name, which no link put in its place
// since can lead elsewhere). `before`: its mode as found. -1 with errno set otherwise.
int openOwnFolder(int parent, const QByteArray& name, mode_t* before = nullptr) {
    const int found = ::openat(parent, name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (found < 0)
        return -1;
    const Descriptor place(found);
    struct stat status {};
    if (::fstat(found, &status) != 0)
        return -1;
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) {
        errno = EPERM;
        return -1;
    }
    if (before)
        *before = status.st_mode & 07777;
    if ((status.st_mode & S_IRWXU) != S_IRWXU &&
        ::chmod(native(descriptorName(found)).constData(), (status.st_mode & 07777) | S_IRWXU) != 0)
        return -1;
    return ::openat(found, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Removes the copy folder `name` in the folder open at `parent`: never through a link (a link
// swapped in for it is not followed), only a folder of this user's, and inside it only the regular
// files named as above. Whatever else is there stays, and so does the folder holding it, with the
// mode it had. A folder that cannot even be opened (no descriptor left) is removed where it is
// empty, as a write's own is when opening it failed.
void removeCopyFolder(int parent, const QByteArray& name) {
    mode_t before = 0;
    const int fd = openOwnFolder(parent, name, &before);
    if (fd < 0) {
        struct stat status {};
        if (::fstatat(parent, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(status.st_mode) && status.st_uid == ::geteuid())
            ::unlinkat(parent, name.constData(), AT_REMOVEDIR); // removes an empty folder only
        return;
    }
    DIR* entries = ::fdopendir(fd); // owns fd from here
    if (!entries) {
        retryingClose(fd);
        return;
    }
    std::vector<QByteArray> names;
    while (const struct dirent* entry = ::readdir(entries))
        if (isCopyEntryName(QByteArray(entry->d_name)))
            names.emplace_back(entry->d_name);
    for (const QByteArray& entry : names) {
        struct stat inside {};
        if (::fstatat(fd, entry.constData(), &inside, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(inside.st_mode))
            ::unlinkat(fd, entry.constData(), 0);
    }
    // Fails, harmlessly, where anything is left.
    if (::unlinkat(parent, name.constData(), AT_REMOVEDIR) != 0 && (before & S_IRWXU) != S_IRWXU)
        ::fchmod(fd, before);
    ::closedir(entries);
}

} // namespace

// Copy folders left beside the suite's file by writes killed before their end: this user's folders
// (not links) named exactly as copy folders are, untouched for longer than any write takes. Only
// in the suite's own folder, `folder`, which the rule judged to be this user's alone.
void removeStaleCopies(const QString& folder, const QString& fileName) {
    const int fd = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    const Descriptor parent(fd);
    const int listed = ::dup(fd);
    DIR* entries = listed < 0 ? nullptr : ::fdopendir(listed);
    if (!entries) {
        retryingClose(listed);
        return;
    }
    std::vector<QByteArray> stale;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    while (const struct dirent* entry = ::readdir(entries)) {
        if (!isCopyFolderName(QFile::decodeName(entry->d_name), fileName))
            continue;
        struct stat status {};
        if (::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode) ||
            status.st_uid != ::geteuid() || now - qint64(status.st_mtim.tv_sec) < staleCopySeconds)
            continue;
        stale.emplace_back(entry->d_name);
    }
    ::closedir(entries);
    for (const QByteArray& name : stale)
        removeCopyFolder(fd, name);
}

WriteCopy::WriteCopy(const QString& folder, const QString& fileName, const QByteArray& bytes) {
    parent_ = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (parent_ < 0) {
        error_ = systemReason(errno);
        return;
    }
    QByteArray name = native(u'.' + fileName + copyFolderInfix) + QByteArray(randomLength, 'X');
    QByteArray path = native(folder) + '/' + name;
    if (!::mkdtemp(path.data())) {
        error_ = systemReason(errno);
        return;
    }
    // Removed with the object from here, whatever follows.
    name_ = path.mid(path.size() - name.size());
    const int fd = openOwnFolder(parent_, name_);
    if (fd < 0) {
        error_ = systemReason(errno);
        return;
    }
    const Descriptor made(fd);
    const int file =
        ::openat(fd, copyFileName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    // Made through the umask as well; Qt's writer opens it again by name, to write.
    if (file < 0 || ::fchmod(file, 0600) != 0) {
        error_ = systemReason(errno);
        retryingClose(file);
        return;
    }
    const Descriptor copy(file);
    for (qint64 done = 0; done < bytes.size();) {
        const ssize_t wrote = ::write(file, bytes.constData() + done, size_t(bytes.size() - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            error_ = systemReason(wrote < 0 ? errno : ENOSPC);
            return;
        }
        done += wrote;
    }
    path_ = QFile::decodeName(path) + u'/' + QString::fromLatin1(copyFileName);
}

WriteCopy::~WriteCopy() {
    if (!name_.isEmpty())
        removeCopyFolder(parent_, name_);
    retryingClose(parent_);
}

} // namespace quillmere::settings
