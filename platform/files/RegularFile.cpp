#include "platform/files/RegularFile.h"

#include "platform/files/OwnedPath.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace quillmere::RegularFile {

namespace {

QString systemDescription(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

} // namespace

QString describe(Problem problem) {
    switch (problem) {
    case Problem::none:
        return {};
    case Problem::missing:
        return QStringLiteral("no such file");
    case Problem::notRegular:
        return QStringLiteral("not a regular file");
    case Problem::unreadable:
        return QStringLiteral("cannot be read");
    case Problem::tooLarge:
        return QStringLiteral("too large");
    case Problem::notOwned:
        return OwnedPath::refusalReason();
    }
    return {};
}

Opened::~Opened() {
    if (fd_ >= 0)
        ::close(fd_);
}

Opened::Opened(Opened&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), info_(other.info_), problem_(other.problem_),
      systemError_(std::move(other.systemError_)), systemCode_(other.systemCode_) {}

Opened& Opened::operator=(Opened&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        info_ = other.info_;
        problem_ = other.problem_;
        systemError_ = std::move(other.systemError_);
        systemCode_ = other.systemCode_;
    }
    return *this;
}

Opened open(const QString& path) {
    return openWith(path, 0);
}

Opened openWith(const QString& path, int extraFlags) {
    Opened out;
    if (path.isEmpty())
        return out;
    const QByteArray native = QFile::encodeName(path);
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer, for ever.
    out.fd_ = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | extraFlags);
    if (out.fd_ < 0) {
        const int code = errno;
        // ELOOP under O_NOFOLLOW: a link took the file's place after it was judged.
        out.problem_ = code == ENOENT || code == ENOTDIR            ? Problem::missing
                       : code == ELOOP && (extraFlags & O_NOFOLLOW) ? Problem::notOwned
                                                                    : Problem::unreadable;
        // What cannot be opened because of what it is (a socket: "no such device or address") is
        // not a file that cannot be read: it is no regular file, and refused as such.
        struct stat status {};
        if (out.problem_ == Problem::unreadable &&
            ((extraFlags & O_NOFOLLOW) ? ::lstat(native.constData(), &status)
                                       : ::stat(native.constData(), &status)) == 0 &&
            !S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
            out.problem_ = Problem::notRegular;
            return out;
        }
        out.systemError_ = systemDescription(code);
        out.systemCode_ = code;
        return out;
    }
    if (::fstat(out.fd_, &out.info_) != 0) {
        out.problem_ = Problem::unreadable;
        out.systemCode_ = errno;
        out.systemError_ = systemDescription(out.systemCode_);
        return out;
    }
    if (!S_ISREG(out.info_.st_mode)) {
        out.problem_ = Problem::notRegular;
        return out;
    }
    // Regular files never block; clear the flag so reads behave as usual.
    const int flags = ::fcntl(out.fd_, F_GETFL);
    if (flags >= 0)
        ::fcntl(out.fd_, F_SETFL, flags & ~O_NONBLOCK);
    out.problem_ = Problem::none;
    return out;
}

qint64 readFullyAt(int fd, char* into, qint64 wanted, qint64 offset) {
    qint64 done = 0;
    while (done < wanted) {
        const ssize_t n = ::pread(fd, into + done, size_t(wanted - done), off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

Opened openOwned(const QString& path) {
    Opened out;
    // A file replaced under its name by another process (an atomic save renames a new file over
    // it) between the judgement and the open has no name left when examined: it is no second name
    // of anything, only an older version, so the file now there is judged and opened again. One
    // replaced at every attempt is read as it was opened: it was at the judged path, and this
    // user's alone, when it was opened.
    for (int attempt = 0; attempt < OwnedPath::replacedLooks; ++attempt) {
        const std::optional<QString> real = OwnedPath::ownedFile(path);
        if (!real) {
            out = Opened();
            out.problem_ = Problem::notOwned;
            return out;
        }
        // The path as judged, links resolved, opened without following a link that took the
        // file's place since; what was opened is judged again, as the file itself.
        out = openWith(*real, O_NOFOLLOW);
        if (out.problem_ != Problem::none)
            return out;
        struct stat named = out.info_;
        if (named.st_nlink == 0)
            named.st_nlink = 1;
        if (!OwnedPath::isUsersAlone(named)) {
            out.problem_ = Problem::notOwned;
            return out;
        }
        if (out.info_.st_nlink != 0)
            return out;
    }
    return out;
}

namespace {

Contents readOpened(const Opened& file, qint64 maxBytes) {
    Contents out;
    if (file.problem() != Problem::none) {
        out.problem = file.problem();
        out.systemError = file.systemError();
        out.systemCode = file.systemCode();
        return out;
    }
    const qint64 size = qint64(file.info().st_size);
    if (size > maxBytes) {
        out.problem = Problem::tooLarge;
        return out;
    }
    // One byte more than the size: a file that grew meanwhile is noticed rather than cut short.
    QByteArray bytes(size + 1, Qt::Uninitialized);
    const qint64 got = readFullyAt(file.fd(), bytes.data(), size + 1, 0);
    if (got < 0) {
        out.problem = Problem::unreadable;
        out.systemCode = errno;
        out.systemError = systemDescription(out.systemCode);
        return out;
    }
    if (got > size) {
        // Growing while read: read the rest within the limit.
        for (;;) {
            if (bytes.size() > maxBytes) {
                out.problem = Problem::tooLarge;
                return out;
            }
            const qsizetype had = bytes.size();
            bytes.resize(had + 64 * 1024);
            const qint64 more = readFullyAt(file.fd(), bytes.data() + had, 64 * 1024, had);
            if (more < 0) {
                out.problem = Problem::unreadable;
                out.systemCode = errno;
                out.systemError = systemDescription(out.systemCode);
                return out;
            }
            bytes.resize(had + more);
            if (more < 64 * 1024)
                break;
        }
        if (bytes.size() > maxBytes) {
            out.problem = Problem::tooLarge;
            return out;
        }
    } else {
        bytes.resize(got);
    }
    out.bytes = std::move(bytes);
    return out;
}

} // namespace

Contents read(const QString& path, qint64 maxBytes) {
    return readOpened(open(path), maxBytes);
}

Contents readOwned(const QString& path, qint64 maxBytes) {
    return readOpened(openOwned(path), maxBytes);
}

Problem examine(const QString& path) {
    struct stat info {};
    // stat() never opens the file, so it cannot block whatever the file is.
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? Problem::missing : Problem::unreadable;
    return S_ISREG(info.st_mode) ? Problem::none : Problem::notRegular;
}

Problem examineOwned(const QString& path) {
    const std::optional<QString> real = OwnedPath::ownedFile(path);
    return real ? examine(*real) : Problem::notOwned;
}

bool isRegularOrAbsent(const QString& path) {
    const Problem problem = examine(path);
    return problem == Problem::none || problem == Problem::missing;
}

} // namespace quillmere::RegularFile
