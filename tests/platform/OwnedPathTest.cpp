// Whether a data folder is really this user's: every link along its path, not only the last one,
// must lead to a folder the user owns.

#include "platform/files/OwnedPath.h"
#include "platform/files/AtomicFile.h"
#include "support/ForeignFolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using quillmere::testing::foreignFolder;

namespace {

// A home folder with the application's data path in it: home/.local/share/Quillmere/usage.
const QStringList levels = {QStringLiteral(".local"), QStringLiteral("share"), QStringLiteral("Quillmere"),
                            QStringLiteral("usage")};

struct Home {
    QTemporaryDir dir;
    QString home = dir.filePath(QStringLiteral("home"));

    // The path down to level `depth` (0: the home folder itself).
    QString path(qsizetype depth) const {
        QString path = home;
        for (qsizetype i = 0; i < depth; ++i)
            path += u'/' + levels.at(i);
        return path;
    }
    QString data() const { return path(levels.size()); }

    // Puts a link to `target` in place of the folder at level `depth`, and makes the rest of the
    // path below it, inside `target`.
    bool linkAt(qsizetype depth, const QString& target) const {
        const QString at = path(depth);
        return QDir(at).removeRecursively() && QFile::link(target, at) && QDir().mkpath(data());
    }
};

bool runsAsRoot() {
    return ::geteuid() == 0;
}

} // namespace

// A link at each level of the data path: to a folder of this user's it is followed, to another
// user's (world-writable) folder it is refused, whichever level it is at, the data folder itself
// and the last component included. Judged on where the link leads, not on the link.
TEST(OwnedPath, ALinkAtAnyLevelMustLeadToAFolderOfThisUsers) {
    for (qsizetype depth = 1; depth <= levels.size(); ++depth) {
        SCOPED_TRACE(levels.at(depth - 1).toStdString());
        {
            Home mine;
            ASSERT_TRUE(QDir().mkpath(mine.data()));
            const QString elsewhere = mine.dir.filePath(QStringLiteral("other-disk"));
            ASSERT_TRUE(QDir().mkpath(elsewhere));
            ASSERT_TRUE(mine.linkAt(depth, elsewhere));
            EXPECT_TRUE(OwnedPath::isOwnedFolder(mine.data())) << "a link to a folder of this user's";
            EXPECT_TRUE(AtomicFile::makePrivateFolder(mine.data()));
        }
        {
            Home theirs;
            ASSERT_TRUE(QDir().mkpath(theirs.data()));
            const QString foreign = foreignFolder(theirs.dir.filePath(QStringLiteral("theirs")));
            if (foreign == u"/") {
                // Not root: the link leads to the root folder, which is no user's data folder.
                const QString at = theirs.path(depth);
                ASSERT_TRUE(QDir(at).removeRecursively());
                ASSERT_TRUE(QFile::link(QStringLiteral("/"), at));
                EXPECT_FALSE(OwnedPath::isOwnedFolder(at));
                continue;
            }
            ASSERT_TRUE(theirs.linkAt(depth, foreign));
            ASSERT_TRUE(QFileInfo(theirs.data()).isDir()) << "the path still leads to a folder";
            EXPECT_FALSE(OwnedPath::isOwnedFolder(theirs.data()));
            EXPECT_FALSE(OwnedPath::existingPartIsOwned(theirs.data()));
            QString error;
            EXPECT_FALSE(AtomicFile::makePrivateFolder(theirs.data(), &error));
            EXPECT_FALSE(error.isEmpty());
            // Nothing is created through the link either.
            EXPECT_FALSE(AtomicFile::makePrivateFolder(theirs.data() + QStringLiteral("/new")));
            EXPECT_FALSE(QFileInfo::exists(theirs.data() + QStringLiteral("/new")));
        }
    }
}

// The links above the user's own folders are the system's (home folders kept on another disk):
// they are not judged. Below the first folder the user owns, every link is. Judged for a user
// injected here, so the case where the folders above belong to someone else (root) can be built.
TEST(OwnedPath, LinksAboveTheUsersOwnFoldersAreTheSystems) {
    if (!runsAsRoot())
        GTEST_SKIP() << "needs to give folders to another user";
    const uid_t user = quillmere::testing::foreignUser;
    QTemporaryDir dir;
    // system/disk/home (the user's), reached through a link "homes" owned by root.
    const QString disk = dir.filePath(QStringLiteral("system/disk"));
    const QString home = disk + QStringLiteral("/home");
    ASSERT_TRUE(QDir().mkpath(home + QStringLiteral("/data")));
    for (const QString& owned : {home, home + QStringLiteral("/data")})
        ASSERT_EQ(::chown(QFile::encodeName(owned).constData(), user, user), 0);
    ASSERT_TRUE(QFile::link(disk, dir.filePath(QStringLiteral("homes"))));
    EXPECT_TRUE(OwnedPath::isOwnedFolder(dir.filePath(QStringLiteral("homes/home/data")), user));

    // A link below the user's home to a folder of root's is refused for that user, and a link
    // to a folder of the user's is followed.
    const QString rootOwned = dir.filePath(QStringLiteral("system/shared"));
    ASSERT_TRUE(QDir().mkpath(rootOwned));
    ASSERT_TRUE(QFile::link(rootOwned, home + QStringLiteral("/linked")));
    EXPECT_FALSE(OwnedPath::isOwnedFolder(dir.filePath(QStringLiteral("homes/home/linked")), user));
    ASSERT_TRUE(QFile::link(home + QStringLiteral("/data"), home + QStringLiteral("/again")));
    EXPECT_TRUE(OwnedPath::isOwnedFolder(dir.filePath(QStringLiteral("homes/home/again")), user));
    // The same tree judged for root: root owns the folders above, so its links are judged too,
    // and the user's folder is not root's.
    EXPECT_FALSE(OwnedPath::isOwnedFolder(dir.filePath(QStringLiteral("homes/home/again")), 0));
}

// What is not a folder reached through owned links is refused: a missing part, a file, a link
// that leads nowhere or to a file, a link loop.
TEST(OwnedPath, MissingPartsFilesAndBrokenLinksAreNoFolder) {
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("folder"));
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile file(dir.filePath(QStringLiteral("file")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ASSERT_TRUE(
        QFile::link(dir.filePath(QStringLiteral("nowhere")), dir.filePath(QStringLiteral("dangling"))));
    ASSERT_TRUE(QFile::link(file.fileName(), dir.filePath(QStringLiteral("to-file"))));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("loop-b")), dir.filePath(QStringLiteral("loop-a"))));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("loop-a")), dir.filePath(QStringLiteral("loop-b"))));
    EXPECT_TRUE(OwnedPath::isOwnedFolder(folder));
    for (const char* name : {"missing", "folder/missing", "file", "file/below", "dangling", "dangling/below",
                             "to-file", "loop-a", "loop-a/below"})
        EXPECT_FALSE(OwnedPath::isOwnedFolder(dir.filePath(QString::fromLatin1(name)))) << name;
    EXPECT_FALSE(OwnedPath::isOwnedFolder(QString()));
    // The existing part of a path still to be made is judged, not the missing rest; a file in the
    // way is left to the creation, which fails on it with its own error.
    EXPECT_TRUE(OwnedPath::existingPartIsOwned(dir.filePath(QStringLiteral("folder/new/deeper"))));
    EXPECT_TRUE(OwnedPath::existingPartIsOwned(dir.filePath(QStringLiteral("file/new"))));
    QString error;
    EXPECT_FALSE(AtomicFile::makePrivateFolder(dir.filePath(QStringLiteral("file/new")), &error));
    EXPECT_EQ(error, QString::fromLocal8Bit(std::strerror(ENOTDIR)));
}

// A file of this user's is judged by the folder that holds it, as a data folder is, and a link in
// its place by the folder of the file it leads to. A missing file passes where its folder would.
TEST(OwnedPath, AFileIsJudgedByItsFolderAndByWhereALinkInItsPlaceLeads) {
    if (!runsAsRoot())
        GTEST_SKIP() << "needs to give folders to another user";
    QTemporaryDir dir;
    const QString mine = dir.filePath(QStringLiteral("mine"));
    ASSERT_TRUE(QDir().mkpath(mine));
    const QString foreign = foreignFolder(dir.filePath(QStringLiteral("theirs")));
    ASSERT_NE(foreign, u"/");
    QFile planted(foreign + QStringLiteral("/settings.ini"));
    ASSERT_TRUE(planted.open(QIODevice::WriteOnly));
    planted.close();
    QFile own(mine + QStringLiteral("/own.ini"));
    ASSERT_TRUE(own.open(QIODevice::WriteOnly));
    own.close();

    EXPECT_TRUE(OwnedPath::mayHoldFile(own.fileName()));
    EXPECT_TRUE(OwnedPath::mayHoldFile(mine + QStringLiteral("/missing.ini")));
    EXPECT_TRUE(OwnedPath::mayHoldFile(mine + QStringLiteral("/new/deeper/missing.ini")));
    EXPECT_FALSE(OwnedPath::mayHoldFile(QString()));

    // Through a link to the other user's folder: the file there, a missing one, a deeper one.
    ASSERT_TRUE(QFile::link(foreign, dir.filePath(QStringLiteral("linked"))));
    for (const char* name : {"linked/settings.ini", "linked/missing.ini", "linked/new/missing.ini"})
        EXPECT_FALSE(OwnedPath::mayHoldFile(dir.filePath(QString::fromLatin1(name)))) << name;

    // A link in place of the file: into the other user's folder, nowhere, or to a file of mine.
    ASSERT_TRUE(QFile::link(planted.fileName(), mine + QStringLiteral("/to-theirs.ini")));
    ASSERT_TRUE(QFile::link(foreign + QStringLiteral("/none.ini"), mine + QStringLiteral("/dangling.ini")));
    ASSERT_TRUE(QFile::link(own.fileName(), mine + QStringLiteral("/to-mine.ini")));
    EXPECT_FALSE(OwnedPath::mayHoldFile(mine + QStringLiteral("/to-theirs.ini")));
    EXPECT_FALSE(OwnedPath::mayHoldFile(mine + QStringLiteral("/dangling.ini")));
    EXPECT_TRUE(OwnedPath::mayHoldFile(mine + QStringLiteral("/to-mine.ini")));
}
