#include "platform/files/OwnedPath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

// Whether a folder on the walk lets nobody but `user` (or root) change what is in it. `below`:
// the folder is above the first one on the walk, so a sticky bit is enough against others.
bool safeFolder(const struct stat& status, uid_t user, const Account& account, bool below) {
    if (!S_ISDIR(status.st_mode) || (status.st_uid != user && status.st_uid != 0))
        return false;
    const bool groupMayWrite = (status.st_mode & S_IWGRP) != 0 && status.st_gid != account.group;
    const bool othersMayWrite = (status.st_mode & S_IWOTH) != 0;
    if (!groupMayWrite && !othersMayWrite)
        return true;
    return below && (status.st_mode & S_ISVTX) != 0;
}

// The walk from the resolved folder `folder` up to the home folder, or to the root.
bool walkIsSafe(const QString& folder, uid_t user) {
    const Account account = accountOf(user);
    QString current = folder;
    for (bool first = true;; first = false) {
        struct stat status {};
        if (::lstat(QFile::encodeName(current).constData(), &status) != 0 ||
            !safeFolder(status, user, account, !first))
            return false;
        if (current == u"/" || current == account.home)
            return true;
        current = parentOf(current);
    }
}

} // namespace

bool isOwnedFolder(const QString& path, uid_t user) {
    if (path.isEmpty())
        return false;
    const std::optional<QString> real = resolvedPath(absoluteClean(path));
    return real && walkIsSafe(*real, user);
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
    // Something that is not a folder (a file in the way, a link that leads nowhere) redirects
    // nothing: making the folders fails on it with its own error.
    if (::stat(QFile::encodeName(existing).constData(), &status) != 0 || !S_ISDIR(status.st_mode))
        return true;
    return isOwnedFolder(existing, user);
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
    const std::optional<QString> real = resolvedPath(file.filePath());
    if (!real || !walkIsSafe(parentOf(*real), user) ||
        ::stat(QFile::encodeName(*real).constData(), &status) != 0 || !isUsersAlone(status, user))
        return std::nullopt;
    return real;
}

bool mayHoldFile(const QString& path, uid_t user) {
    return ownedFile(path, user).has_value();
}

bool isUsersAlone(const struct stat& status, uid_t user) {
    return status.st_uid == user && (!S_ISREG(status.st_mode) || status.st_nlink == 1);
}

QString refusalReason() {
    return QStringLiteral("it or a folder on its path is not this user's alone");
}

} // namespace quillmere::OwnedPath
