#include "platform/files/OwnedPath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <cstdlib>
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

QString absoluteClean(const QString& path) {
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
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

// Where the absolute, clean `path` really leads, each link followed as the system follows it, and
// every folder holding a link met on the way judged by the rule: whoever may write there can
// point the link elsewhere between this judgement and a later use of the path, which opens it by
// name again. A link of this user's or root's in a sticky folder stays where it is.
struct Resolution {
    std::optional<QString> path; // none: a part is missing or no folder, or links loop
    bool refused = false;        // a link met on the way sits where others could change it
};

Resolution judgedResolution(const QString& path, uid_t user, const Account& account) {
    // The parts still to walk, the next one last.
    QStringList pending = path.split(u'/', Qt::SkipEmptyParts);
    std::reverse(pending.begin(), pending.end());
    QString current; // resolved so far; empty: the root
    int links = 0;
    while (!pending.isEmpty()) {
        const QString part = pending.takeLast();
        if (part == u".")
            continue;
        if (part == u"..") {
            current.truncate(std::max<qsizetype>(current.lastIndexOf(u'/'), 0));
            continue;
        }
        const QString next = current + u'/' + part;
        const QByteArray native = QFile::encodeName(next);
        struct stat status {};
        if (::lstat(native.constData(), &status) != 0)
            return {};
        if (!S_ISLNK(status.st_mode)) {
            current = next;
            continue;
        }
        const bool linkIsMine = status.st_uid == user || status.st_uid == 0;
        if (!walkIsSafe(current.isEmpty() ? QStringLiteral("/") : current, user, account, linkIsMine))
            return {std::nullopt, true};
        if (++links > 40)
            return {};
        QByteArray target(PATH_MAX, Qt::Uninitialized);
        const ssize_t length = ::readlink(native.constData(), target.data(), size_t(target.size()));
        if (length <= 0 || length >= target.size())
            return {};
        target.truncate(length);
        if (target.startsWith('/'))
            current.clear();
        QStringList parts = QFile::decodeName(target).split(u'/', Qt::SkipEmptyParts);
        std::reverse(parts.begin(), parts.end());
        pending += parts;
    }
    return {current.isEmpty() ? QStringLiteral("/") : current};
}

} // namespace

bool isOwnedFolder(const QString& path, uid_t user) {
    if (path.isEmpty())
        return false;
    const Account account = accountOf(user);
    const std::optional<QString> real = judgedResolution(absoluteClean(path), user, account).path;
    return real && walkIsSafe(*real, user, account);
}

bool existingPartIsOwned(const QString& path, uid_t user) {
    QString existing = absoluteClean(path);
    struct stat status {};
    while (::lstat(QFile::encodeName(existing).constData(), &status) != 0) {
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            return false;
        existing = parent;
    }
    const Account account = accountOf(user);
    const Resolution real = judgedResolution(existing, user, account);
    if (real.refused)
        return false;
    // Something that is not a folder (a file in the way, a link that leads nowhere) redirects
    // nothing: making the folders fails on it with its own error.
    if (!real.path || ::stat(QFile::encodeName(*real.path).constData(), &status) != 0 ||
        !S_ISDIR(status.st_mode))
        return true;
    return walkIsSafe(*real.path, user, account);
}

std::optional<QString> ownedFile(const QString& path, uid_t user) {
    if (path.isEmpty())
        return std::nullopt;
    const QFileInfo file(absoluteClean(path));
    if (!existingPartIsOwned(file.path(), user))
        return std::nullopt;
    struct stat status {};
    if (::lstat(QFile::encodeName(file.filePath()).constData(), &status) != 0)
        return file.filePath(); // missing: made here by whatever writes it
    // Links resolved (a link in place of the file included): the folder that really holds it is
    // judged as well, and the file itself.
    const Account account = accountOf(user);
    const std::optional<QString> real = judgedResolution(file.filePath(), user, account).path;
    if (!real || !walkIsSafe(parentOf(*real), user, account) ||
        ::stat(QFile::encodeName(*real).constData(), &status) != 0 ||
        !fileIsUsersAlone(status, user, account))
        return std::nullopt;
    return real;
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
