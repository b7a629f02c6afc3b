#include "platform/files/OwnedPath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <vector>

namespace quillmere::OwnedPath {

namespace {

std::optional<QString> resolvedPath(const QString& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(QFile::encodeName(path).constData(), nullptr),
                                                     &std::free);
    if (!real)
        return std::nullopt;
    return QFile::decodeName(real.get());
}

// `path` made absolute as the system reads it: relative to the working folder, and otherwise as
// it is. Never cleaned as text: "link/.." is where the link leads, then up, not where it sits.
QString absolute(const QString& path) {
    return path.startsWith(u'/') ? path : QDir::currentPath() + u'/' + path;
}

QString parentOf(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

// What the rule needs to know of the user: where the walk stops, and which group may write.
struct Account {
    QString home;               // resolved; empty when unknown (the walk goes to the root)
    std::optional<gid_t> group; // the user's own private group, when the user has one
};

Account accountOf(uid_t user) {
    Account account;
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        found = nullptr;
    // This user's home folder is the one the application uses ($HOME), another user's the one the
    // system names.
    const QString home = user == ::geteuid() ? QDir::homePath()
                         : found             ? QFile::decodeName(found->pw_dir)
                                             : QString();
    if (!home.isEmpty())
        account.home = resolvedPath(home).value_or(QString());
    if (!found)
        return account;
    // A private group: named for the user, and nobody else named in it.
    const QByteArray name = found->pw_name;
    const gid_t primary = found->pw_gid;
    std::vector<char> groupBuffer(16384);
    struct group groupEntry {};
    struct group* group = nullptr;
    if (::getgrgid_r(primary, &groupEntry, groupBuffer.data(), groupBuffer.size(), &group) != 0 || !group ||
        name != group->gr_name)
        return account;
    for (char** member = group->gr_mem; member && *member; ++member)
        if (name != *member)
            return account;
    account.group = primary;
    return account;
}

// Whether someone other than `user` may change what `status` describes: a write bit for others,
// or for a group that is not the user's own private one.
bool othersMayWrite(const struct stat& status, const Account& account) {
    return (status.st_mode & S_IWOTH) != 0 ||
           ((status.st_mode & S_IWGRP) != 0 && status.st_gid != account.group);
}

// Whether a folder on the walk lets nobody but `user` (or root) change what is in it. `below`:
// the folder is above the first one on the walk, so a sticky bit is enough against others.
bool safeFolder(const struct stat& status, uid_t user, const Account& account, bool below) {
    if (!S_ISDIR(status.st_mode) || (status.st_uid != user && status.st_uid != 0))
        return false;
    return !othersMayWrite(status, account) || (below && (status.st_mode & S_ISVTX) != 0);
}

// The walk from the resolved folder `folder` up to the home folder, or to the root. `stickyFirst`:
// a sticky bit is enough for the first folder too (it holds nothing to be made, only an entry
// of this user's or root's that others may not rename or remove).
bool walkIsSafe(const QString& folder, uid_t user, const Account& account, bool stickyFirst = false) {
    QString current = folder;
    for (bool first = true;; first = false) {
        struct stat status {};
        if (::lstat(QFile::encodeName(current).constData(), &status) != 0 ||
            !safeFolder(status, user, account, !first || stickyFirst))
            return false;
        if (current == u"/" || current == account.home)
            return true;
        current = parentOf(current);
    }
}

bool fileIsUsersAlone(const struct stat& status, uid_t user, const Account& account) {
    return status.st_uid == user && !othersMayWrite(status, account) &&
           (!S_ISREG(status.st_mode) || status.st_nlink == 1);
}

// Where the absolute `path` really leads, resolved as the system resolves it: each link followed
// where it sits, and ".." taken from the folder the links led to, never from the text. Every
// folder holding a link met on the way is judged by the rule: whoever may write there can point
// the link elsewhere between this judgement and a later use of the path. A link of this user's or
// root's in a sticky folder stays where it is. A link that leads to something missing is followed
// too, so that what is made there later is judged where it will be.
struct Resolution {
    QString real;            // the deepest part that exists, links resolved ("/": the root)
    QStringList missing;     // the names below `real` that do not exist yet, in order (no links)
    QStringList makers;      // every existing folder, resolved, that a missing folder is made in
    bool leavesMade = false; // ".." leaves a folder that does not exist yet
    QString nameFolder;      // the resolved folder holding the path's own last name, when it exists
    bool endsInLink = false; // the path's own last name is a link
    bool dangling = false;   // a link met on the way leads to something missing
    bool refused = false;    // a link met on the way sits where others could change it
    int error = 0;           // why the system could not resolve it (ELOOP, ENOTDIR, ...); 0: none
};

Resolution resolve(const QString& path, uid_t user, const Account& account) {
    struct Part {
        QString name;
        bool own; // a name of `path` itself, not of a link's target
    };
    // The parts still to walk, the next one last.
    QList<Part> pending;
    const QStringList names = path.split(u'/', Qt::SkipEmptyParts);
    for (auto name = names.crbegin(); name != names.crend(); ++name)
        pending.append({*name, true});
    qsizetype ownLeft = names.size();
    Resolution out;
    QString current;  // resolved so far; empty: the root
    QStringList made; // the folders still to be made that the walk is in, below `current`
    int links = 0;
    while (!pending.isEmpty()) {
        const Part part = pending.takeLast();
        const bool lastOwn = part.own && --ownLeft == 0;
        if (lastOwn)
            out.nameFolder = !made.isEmpty() ? QString() : current.isEmpty() ? QStringLiteral("/") : current;
        if (part.name == u".")
            continue;
        // Below a folder still to be made, as when the folders are made one at a time along the
        // path: nothing exists there yet, and ".." leads back up to the folder it is made in.
        if (!made.isEmpty()) {
            if (part.name == u"..") {
                made.removeLast();
                out.leavesMade = true;
            } else {
                made.append(part.name);
            }
            continue;
        }
        if (part.name == u"..") {
            // Going up from a folder is only where it was judged while nobody else can swap that
            // folder for a link elsewhere: the folder holding it is judged as a link's is.
            if (!current.isEmpty()) {
                struct stat left {};
                const QString holder = parentOf(current);
                if (::lstat(QFile::encodeName(current).constData(), &left) != 0 ||
                    !walkIsSafe(holder, user, account, left.st_uid == user || left.st_uid == 0)) {
                    out.refused = true;
                    return out;
                }
            }
            current.truncate(std::max<qsizetype>(current.lastIndexOf(u'/'), 0));
            continue;
        }
        const QString next = current + u'/' + part.name;
        const QByteArray native = QFile::encodeName(next);
        struct stat status {};
        if (::lstat(native.constData(), &status) != 0) {
            if (errno != ENOENT) {
                out.error = errno;
                return out;
            }
            if (lastOwn)
                out.nameFolder.clear();
            // A name of the path itself is made there, in the folder reached so far; what follows
            // is walked as if it were made.
            if (part.own) {
                const QString maker = current.isEmpty() ? QStringLiteral("/") : current;
                if (out.makers.isEmpty() || out.makers.last() != maker)
                    out.makers.append(maker);
                made.append(part.name);
                continue;
            }
            // A link that leads nowhere: nothing is made through it, as the system makes nothing
            // through it, and ".." below what it names leads nowhere either.
            out.missing.append(part.name);
            out.dangling = true;
            for (auto rest = pending.crbegin(); rest != pending.crend(); ++rest) {
                if (rest->name == u"..") {
                    out.error = ENOENT;
                    return out;
                }
                if (rest->name != u".")
                    out.missing.append(rest->name);
            }
            break;
        }
        if (!S_ISLNK(status.st_mode)) {
            if (!S_ISDIR(status.st_mode) && !pending.isEmpty()) {
                out.error = ENOTDIR;
                return out;
            }
            current = next;
            continue;
        }
        const bool linkIsMine = status.st_uid == user || status.st_uid == 0;
        if (!walkIsSafe(current.isEmpty() ? QStringLiteral("/") : current, user, account, linkIsMine)) {
            out.refused = true;
            return out;
        }
        // As many as the system follows in one path.
        if (++links > maximumLinks) {
            out.error = ELOOP;
            return out;
        }
        QByteArray target(PATH_MAX, Qt::Uninitialized);
        const ssize_t length = ::readlink(native.constData(), target.data(), size_t(target.size()));
        if (length <= 0 || length >= target.size()) {
            out.error = length < 0 ? errno : ENOENT;
            return out;
        }
        target.truncate(length);
        if (lastOwn)
            out.endsInLink = true;
        if (target.startsWith('/'))
            current.clear();
        const QStringList parts = QFile::decodeName(target).split(u'/', Qt::SkipEmptyParts);
        for (auto name = parts.crbegin(); name != parts.crend(); ++name)
            pending.append({*name, false});
    }
    out.real = current.isEmpty() ? QStringLiteral("/") : current;
    out.missing.append(made);
    return out;
}

// Whether every folder that a missing folder of the path is made in passes the rule: each is
// where something of this user's will be made.
bool makersAreSafe(const Resolution& real, uid_t user, const Account& account) {
    return std::all_of(real.makers.cbegin(), real.makers.cend(),
                       [&](const QString& maker) { return walkIsSafe(maker, user, account); });
}

QString joined(const QString& folder, const QStringList& names) {
    return names.isEmpty() ? folder : (folder == u"/" ? QString() : folder) + u'/' + names.join(u'/');
}

} // namespace

bool isOwnedFolder(const QString& path, uid_t user) {
    if (path.isEmpty())
        return false;
    const Account account = accountOf(user);
    const Resolution real = resolve(absolute(path), user, account);
    return !real.refused && real.error == 0 && real.missing.isEmpty() && !real.leavesMade &&
           walkIsSafe(real.real, user, account);
}

bool existingPartIsOwned(const QString& path, uid_t user) {
    if (path.isEmpty())
        return false;
    const Account account = accountOf(user);
    const Resolution real = resolve(absolute(path), user, account);
    if (real.refused)
        return false;
    // What the system cannot resolve (a file in the way, a loop) redirects nothing: making the
    // folders fails on it with its own error.
    if (real.error != 0)
        return real.error != ENOENT;
    if (!makersAreSafe(real, user, account))
        return false;
    struct stat status {};
    if (real.missing.isEmpty() &&
        (::stat(QFile::encodeName(real.real).constData(), &status) != 0 || !S_ISDIR(status.st_mode)))
        return true;
    return walkIsSafe(real.real, user, account);
}

std::optional<FolderPlace> folderPlace(const QString& path, QString* error, uid_t user) {
    const auto refuse = [&](const QString& reason) -> std::optional<FolderPlace> {
        if (error)
            *error = reason;
        return std::nullopt;
    };
    if (path.isEmpty())
        return refuse(QStringLiteral("Invalid folder path"));
    const Account account = accountOf(user);
    const Resolution real = resolve(absolute(path), user, account);
    if (real.refused)
        return refuse(refusalReason());
    if (real.error != 0)
        return refuse(QString::fromLocal8Bit(std::strerror(real.error)));
    struct stat status {};
    if (real.missing.isEmpty() &&
        (::stat(QFile::encodeName(real.real).constData(), &status) != 0 || !S_ISDIR(status.st_mode)))
        return refuse(QString::fromLocal8Bit(std::strerror(ENOTDIR)));
    if (!walkIsSafe(real.real, user, account) || !makersAreSafe(real, user, account))
        return refuse(refusalReason());
    // Nothing is made through a link that leads nowhere, as the system makes nothing through it.
    if (real.dangling)
        return refuse(QString::fromLocal8Bit(std::strerror(ENOENT)));
    return FolderPlace{real.real, real.missing, real.leavesMade};
}

std::optional<QString> ownedFile(const QString& path, uid_t user) {
    if (path.isEmpty())
        return std::nullopt;
    const QString named = absolute(path);
    const Account account = accountOf(user);
    const Resolution real = resolve(named, user, account);
    // A loop, and ".." below what a link that leads nowhere names, resolve nowhere: refused by the
    // rule, as nothing can be made there for the file.
    if (real.refused || real.error == ELOOP || real.error == ENOENT)
        return std::nullopt;
    // Anything else the system cannot resolve (a file where a folder should be, a folder it may
    // not search) fails with the system's own error wherever the path is used.
    if (real.error != 0)
        return named;
    if (!real.missing.isEmpty()) {
        // A link in the file's place that leads nowhere: whatever followed it would make a file
        // elsewhere. A folder still to be made is judged where it will be made.
        if (real.endsInLink || !walkIsSafe(real.real, user, account) || !makersAreSafe(real, user, account))
            return std::nullopt;
        // Through a folder link that leads nowhere: missing, and nothing can be made through it.
        return real.dangling ? named : joined(real.real, real.missing);
    }
    // The folder that holds the file's name is judged as well as the one that really holds the
    // file, and the file itself.
    struct stat status {};
    if (real.nameFolder.isEmpty() || !walkIsSafe(real.nameFolder, user, account) ||
        !walkIsSafe(parentOf(real.real), user, account) || !makersAreSafe(real, user, account))
        return std::nullopt;
    // A name replaced by another process (a new file renamed over it) while it is examined shows
    // the old file with no link left: looked at again, and a file replaced at every look is
    // judged as that old one was, as having its one name.
    const QByteArray native = QFile::encodeName(real.real);
    for (int look = 0; look < replacedLooks; ++look) {
        if (::lstat(native.constData(), &status) != 0)
            return errno == ENOENT ? std::optional<QString>(real.real) : std::nullopt;
        if (status.st_nlink != 0)
            break;
    }
    if (status.st_nlink == 0)
        status.st_nlink = 1;
    if (S_ISLNK(status.st_mode) || !fileIsUsersAlone(status, user, account))
        return std::nullopt;
    return real.real;
}

bool mayHoldFile(const QString& path, uid_t user) {
    return ownedFile(path, user).has_value();
}

bool isUsersAlone(const struct stat& status, uid_t user) {
    return fileIsUsersAlone(status, user, accountOf(user));
}

QString refusalReason() {
    return QStringLiteral("it or a folder on its path is not this user's alone");
}

} // namespace quillmere::OwnedPath
