// Whether a data folder is really this user's: every link along its path, not only the last one,
// must lead to a folder the user owns.

#include "platform/files/OwnedPath.h"
#include "platform/files/AtomicFile.h"
#include "platform/files/RegularFile.h"
#include "support/ForeignFolder.h"
#include "support/PlantedFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

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

// Runs `judge` in a child process that sees `passwd` and `group` as the system's lists of users and
// groups (laid over /etc/passwd and /etc/group in a mount namespace of its own), and returns the
// bits it gives back; nothing where the child could not be set up so (not root, no namespaces).
std::optional<int> withAccounts(const QTemporaryDir& dir, const QByteArray& passwd, const QByteArray& group,
                                const std::function<int()>& judge) {
    const QByteArray passwdFile = QFile::encodeName(dir.filePath(QStringLiteral("passwd")));
    const QByteArray groupFile = QFile::encodeName(dir.filePath(QStringLiteral("group")));
    for (const auto& [path, bytes] : {std::pair{passwdFile, passwd}, std::pair{groupFile, group}}) {
        QFile file(QFile::decodeName(path));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return std::nullopt;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(passwdFile.constData(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(groupFile.constData(), "/etc/group", nullptr, MS_BIND, nullptr) != 0)
            ::_exit(255);
        ::_exit(judge() & 0x7f);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) == 255)
        return std::nullopt;
    return WEXITSTATUS(status);
}

// Makes `folder` the working folder for the object's life.
class WorkingFolder {
public:
    explicit WorkingFolder(const QString& folder) : entered_(QDir::setCurrent(folder)) {}
    ~WorkingFolder() { QDir::setCurrent(before_); }
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;
    bool entered() const { return entered_; }

private:
    QString before_ = QDir::currentPath(); // taken before the folder is entered
    bool entered_;
};

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
            // Not root: a world-writable folder of this user's, which the rule refuses alike.
            QString foreign = foreignFolder(theirs.dir.filePath(QStringLiteral("theirs")));
            if (foreign == u"/") {
                foreign = theirs.dir.filePath(QStringLiteral("theirs"));
                ASSERT_TRUE(quillmere::testing::folderWith(foreign, 0777));
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

// Links are followed to where they lead and judged there, wherever they are: a home folder kept
// on another disk behind a link of the system's is the user's, a link in it to a folder of root's
// that nobody else can write leads to a safe place, and one to a folder of root's that everybody
// can write does not. Judged for a user injected here, so that the folders above can belong to
// someone else (root).
TEST(OwnedPath, LinksAreJudgedWhereTheyLead) {
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

    const QString rootOwned = dir.filePath(QStringLiteral("system/shared"));
    ASSERT_TRUE(quillmere::testing::folderWith(rootOwned, 0755));
    ASSERT_TRUE(QFile::link(rootOwned, home + QStringLiteral("/linked")));
    EXPECT_TRUE(OwnedPath::isOwnedFolder(dir.filePath(QStringLiteral("homes/home/linked")), user));
    const QString everybodys = dir.filePath(QStringLiteral("system/everybodys"));
    ASSERT_TRUE(quillmere::testing::folderWith(everybodys, 0777));
    ASSERT_TRUE(QFile::link(everybodys, home + QStringLiteral("/open")));
    EXPECT_FALSE(OwnedPath::isOwnedFolder(dir.filePath(QStringLiteral("homes/home/open")), user));
    ASSERT_TRUE(QFile::link(home + QStringLiteral("/data"), home + QStringLiteral("/again")));
    EXPECT_TRUE(OwnedPath::isOwnedFolder(dir.filePath(QStringLiteral("homes/home/again")), user));
    // The same tree judged for root: the user's folder is not root's.
    EXPECT_FALSE(OwnedPath::isOwnedFolder(dir.filePath(QStringLiteral("homes/home/again")), 0));
}

// The rule for the folders on the way to a file: from the folder that holds it up to the home
// folder (or the root), each belongs to this user or root and nobody else can write it. Built as
// parent/folder/file with each kind of folder at either level.
TEST(OwnedPath, EveryFolderOnTheWayIsThisUsersOrRootsAndWritableByNobodyElse) {
    const uid_t me = ::geteuid();
    const gid_t myGroup = ::getegid();
    const uid_t other = quillmere::testing::foreignUser;
    struct Level {
        mode_t mode;
        uid_t owner;
        gid_t group;
    };
    const Level mine{0700, me, myGroup};
    const struct Row {
        const char* what;
        Level parent;
        Level folder;
        bool homeIsFolder; // the home folder is `folder`: the walk ends there
        bool owned;
        bool needsRoot;
    } rows[] = {
        {"private folders", {0755, me, myGroup}, mine, false, true, false},
        {"the folder world-writable", mine, {0777, me, myGroup}, false, false, false},
        {"the folder world-writable and sticky", mine, {01777, me, myGroup}, false, false, false},
        {"the folder writable by another group", mine, {0770, me, 65534}, false, false, true},
        {"the folder writable by the user's own group", mine, {0770, me, myGroup}, false, true, true},
        {"the parent world-writable", {0777, me, myGroup}, mine, false, false, false},
        {"the parent writable by another group", {0775, me, 65534}, mine, false, false, true},
        {"the parent world-writable and sticky", {01777, me, myGroup}, mine, false, true, false},
        {"the parent another user's", {0755, other, other}, mine, false, false, true},
        {"the folder another user's", mine, {0755, other, other}, false, false, true},
        {"the parent world-writable above the home folder", {0777, me, myGroup}, mine, true, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.needsRoot && !runsAsRoot())
            continue;
        QTemporaryDir dir;
        const QString parent = dir.filePath(QStringLiteral("parent"));
        const QString folder = parent + QStringLiteral("/folder");
        ASSERT_TRUE(QDir().mkpath(folder));
        ASSERT_TRUE(
            quillmere::testing::folderWith(folder, row.folder.mode, row.folder.owner, row.folder.group));
        ASSERT_TRUE(
            quillmere::testing::folderWith(parent, row.parent.mode, row.parent.owner, row.parent.group));
        const QByteArray home = qgetenv("HOME");
        if (row.homeIsFolder)
            qputenv("HOME", QFile::encodeName(folder));
        EXPECT_EQ(OwnedPath::isOwnedFolder(folder), row.owned);
        EXPECT_EQ(OwnedPath::mayHoldFile(folder + QStringLiteral("/missing.ini")), row.owned);
        EXPECT_EQ(OwnedPath::existingPartIsOwned(folder + QStringLiteral("/new/deeper")), row.owned);
        // Nothing is made where the rule refuses.
        EXPECT_EQ(AtomicFile::makePrivateFolder(folder + QStringLiteral("/new")), row.owned);
        EXPECT_EQ(QFileInfo::exists(folder + QStringLiteral("/new")), row.owned);
        qputenv("HOME", home);
    }
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

// The file itself, when it exists, is this user's alone: owned by the user and with one link (a
// second name could be another user's, or in a folder the rule refuses). A link in its place is
// judged by where it leads, the folder that really holds the file included.
TEST(OwnedPath, TheFileIsThisUsersWithOneLink) {
    QTemporaryDir dir;
    const QString mine = dir.filePath(QStringLiteral("mine"));
    const QString open = dir.filePath(QStringLiteral("open"));
    ASSERT_TRUE(quillmere::testing::folderWith(mine, 0700));
    ASSERT_TRUE(quillmere::testing::folderWith(open, 0777));
    const auto make = [](const QString& path) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write("[]") == 2;
    };
    const QString own = mine + QStringLiteral("/own.json");
    ASSERT_TRUE(make(own));
    EXPECT_TRUE(OwnedPath::mayHoldFile(own));
    EXPECT_EQ(OwnedPath::ownedFile(own), own);
    const QString linked = mine + QStringLiteral("/linked.json");
    const QString twice = mine + QStringLiteral("/twice.json");
    ASSERT_TRUE(make(twice));
    ASSERT_EQ(::link(QFile::encodeName(twice).constData(), QFile::encodeName(linked).constData()), 0);
    EXPECT_FALSE(OwnedPath::mayHoldFile(linked)) << "a file with two names";
    EXPECT_FALSE(OwnedPath::mayHoldFile(twice));

    // A link to a file of this user's in a folder others can write.
    const QString exposed = open + QStringLiteral("/exposed.json");
    ASSERT_TRUE(make(exposed));
    ASSERT_TRUE(QFile::link(exposed, mine + QStringLiteral("/to-open.json")));
    EXPECT_FALSE(OwnedPath::mayHoldFile(mine + QStringLiteral("/to-open.json")));
    ASSERT_TRUE(QFile::link(own, mine + QStringLiteral("/to-own.json")));
    EXPECT_EQ(OwnedPath::ownedFile(mine + QStringLiteral("/to-own.json")), own);

    // A file others may write: whatever they wrote in it would be taken as this user's.
    for (const mode_t open : {0666, 0602}) {
        const QString exposedHere = mine + QStringLiteral("/open-%1.json").arg(open, 0, 8);
        ASSERT_TRUE(make(exposedHere));
        ASSERT_EQ(::chmod(QFile::encodeName(exposedHere).constData(), open), 0);
        EXPECT_FALSE(OwnedPath::mayHoldFile(exposedHere)) << std::oct << open;
        struct stat status {};
        ASSERT_EQ(::stat(QFile::encodeName(exposedHere).constData(), &status), 0);
        EXPECT_FALSE(OwnedPath::isUsersAlone(status)) << "as opened";
    }

    // A FIFO of this user's passes the rule: it is refused as what it is, not as another user's.
    ASSERT_EQ(::mkfifo(QFile::encodeName(mine + QStringLiteral("/fifo.json")).constData(), 0600), 0);
    EXPECT_TRUE(OwnedPath::mayHoldFile(mine + QStringLiteral("/fifo.json")));

    if (!runsAsRoot())
        return;
    // A file of another user's in this user's folder, and a second name for one.
    const QString theirs = mine + QStringLiteral("/theirs.json");
    ASSERT_TRUE(make(theirs));
    ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), quillmere::testing::foreignUser,
                      quillmere::testing::foreignUser),
              0);
    EXPECT_FALSE(OwnedPath::mayHoldFile(theirs));
    // Group-writable: refused for another group, accepted for the user's own private group.
    const QString grouped = mine + QStringLiteral("/grouped.json");
    ASSERT_TRUE(make(grouped));
    ASSERT_EQ(::chmod(QFile::encodeName(grouped).constData(), 0660), 0);
    EXPECT_TRUE(OwnedPath::mayHoldFile(grouped)) << "root's own group";
    ASSERT_EQ(::chown(QFile::encodeName(grouped).constData(), ::geteuid(), quillmere::testing::foreignUser),
              0);
    EXPECT_FALSE(OwnedPath::mayHoldFile(grouped));
    const QString foreign = foreignFolder(dir.filePath(QStringLiteral("theirs")));
    ASSERT_NE(foreign, u"/");
    const QString planted = foreign + QStringLiteral("/memory.json");
    ASSERT_TRUE(make(planted));
    ASSERT_EQ(::chown(QFile::encodeName(planted).constData(), quillmere::testing::foreignUser,
                      quillmere::testing::foreignUser),
              0);
    const QString hardLinked = mine + QStringLiteral("/hard.json");
    ASSERT_EQ(::link(QFile::encodeName(planted).constData(), QFile::encodeName(hardLinked).constData()), 0);
    EXPECT_FALSE(OwnedPath::mayHoldFile(hardLinked));
}

// A link met on the way is used by name again after it is judged, so the folder that holds it is
// judged by the rule too: whoever may write there can point it elsewhere in between. A link in a
// folder others can write is refused even while it leads to this user's own folder; in a sticky
// folder only a link of this user's (or root's) stays where it is.
TEST(OwnedPath, TheFolderHoldingALinkOnTheWayIsJudgedToo) {
    const uid_t other = quillmere::testing::foreignUser;
    const struct Row {
        const char* what;
        mode_t holder;
        gid_t holderGroup;
        uid_t linkOwner;
        bool owned;
    } rows[] = {
        {"a private folder", 0700, ::getegid(), ::geteuid(), true},
        {"a folder others can write", 0777, ::getegid(), ::geteuid(), false},
        {"a sticky folder, the link this user's", 01777, ::getegid(), ::geteuid(), true},
        {"a sticky folder, the link another user's", 01777, ::getegid(), other, false},
        {"a folder another group can write", 0770, other, ::geteuid(), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if ((row.linkOwner != ::geteuid() || row.holderGroup != ::getegid()) && !runsAsRoot())
            continue;
        QTemporaryDir dir;
        const QString mine = dir.filePath(QStringLiteral("mine"));
        const QString holder = dir.filePath(QStringLiteral("holder"));
        ASSERT_TRUE(quillmere::testing::folderWith(mine, 0700));
        QFile settings(mine + QStringLiteral("/settings.ini"));
        ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
        settings.close();
        ASSERT_TRUE(quillmere::testing::folderWith(holder, 0700));
        // A link to the folder, written as a link farm writes it (relative, through ".."), and one
        // to the file itself.
        const QString link = holder + QStringLiteral("/config");
        const QString fileLink = holder + QStringLiteral("/settings.ini");
        ASSERT_EQ(::symlink("./../holder/../mine", QFile::encodeName(link).constData()), 0);
        ASSERT_TRUE(QFile::link(settings.fileName(), fileLink));
        for (const QString& made : {link, fileLink})
            ASSERT_EQ(::lchown(QFile::encodeName(made).constData(), row.linkOwner, ::getegid()), 0);
        ASSERT_TRUE(quillmere::testing::folderWith(holder, row.holder, ::geteuid(), row.holderGroup));
        EXPECT_EQ(OwnedPath::isOwnedFolder(link), row.owned);
        EXPECT_EQ(OwnedPath::existingPartIsOwned(link + QStringLiteral("/new/deeper")), row.owned);
        EXPECT_EQ(OwnedPath::mayHoldFile(link + QStringLiteral("/settings.ini")), row.owned);
        EXPECT_EQ(OwnedPath::mayHoldFile(link + QStringLiteral("/missing.ini")), row.owned);
        // The file's own folder may not be one others can write, sticky or not: they could put a
        // file there whenever it is missing.
        EXPECT_EQ(OwnedPath::mayHoldFile(fileLink), row.owned && (row.holder & S_ISVTX) == 0);
        // Nothing is made through a link the rule refuses.
        EXPECT_EQ(AtomicFile::makePrivateFolder(link + QStringLiteral("/new")), row.owned);
        EXPECT_EQ(QFileInfo::exists(mine + QStringLiteral("/new")), row.owned);
    }
}

// A folder its group may write is safe only when that group is the user's own private group: the
// user's primary group, named for the user, with nobody else in it. Judged for users the system's
// lists are made up for here, in a process of their own.
TEST(OwnedPath, OnlyTheUsersOwnPrivateGroupMayWrite) {
    if (!runsAsRoot())
        GTEST_SKIP() << "needs to give folders to other users and lay lists of users over the system's";
    const struct Row {
        const char* what;
        uid_t user;
        gid_t group;
        bool owned;
    } rows[] = {
        {"a private group", 4242, 4242, true},
        {"a primary group others share", 4243, 100, false},
        {"a group named for the user with another member", 4244, 4244, false},
        {"a group whose one member is the user", 4245, 4245, true},
        {"no entry for the user", 4246, 4246, false},
    };
    const QByteArray passwd = "alice:x:4242:4242::/nonexistent:/bin/false\n"
                              "bob:x:4243:100::/nonexistent:/bin/false\n"
                              "carol:x:4244:4244::/nonexistent:/bin/false\n"
                              "erin:x:4245:4245::/nonexistent:/bin/false\n";
    const QByteArray group = "users:x:100:\nalice:x:4242:\ncarol:x:4244:carol,dave\nerin:x:4245:erin\n"
                             "frank:x:4246:\n";
    QTemporaryDir dir;
    QStringList folders;
    for (const Row& row : rows) {
        folders << dir.filePath(QString::number(row.user));
        ASSERT_TRUE(quillmere::testing::folderWith(folders.back(), 0770, row.user, row.group));
    }
    const auto judgeEach = [&] {
        int bits = 0;
        for (qsizetype i = 0; i < folders.size(); ++i)
            bits |= OwnedPath::isOwnedFolder(folders[i], rows[i].user) ? 1 << i : 0;
        return bits;
    };
    const std::optional<int> owned = withAccounts(dir, passwd, group, judgeEach);
    if (!owned)
        GTEST_SKIP() << "cannot lay lists of users over the system's here";
    for (qsizetype i = 0; i < folders.size(); ++i)
        EXPECT_EQ((*owned >> i) & 1, rows[i].owned ? 1 : 0) << rows[i].what;
    // The same folders with the group's write bit taken away are each user's.
    for (const QString& folder : folders)
        ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0750), 0);
    EXPECT_EQ(withAccounts(dir, passwd, group, judgeEach), (1 << folders.size()) - 1);
}

// ".." after a link is taken from where the link leads, as the system takes it when the path is
// opened: with "lnk" leading into a folder elsewhere, "home/lnk/../share" is that folder's
// neighbour, not "home/share". Into a folder others can write, it is refused, though the
// textual "home/share" is this user's alone, and so is going up out of it again; into a folder
// of this user's, it is judged and named where the system would open it.
TEST(OwnedPath, DotDotAfterALinkIsTakenFromWhereTheLinkLeads) {
    QTemporaryDir dir;
    const QString home = dir.filePath(QStringLiteral("home"));
    ASSERT_TRUE(quillmere::testing::folderWith(home + QStringLiteral("/share"), 0700));
    const QString path = home + QStringLiteral("/lnk/../share");
    {
        // Elsewhere, not writable by others: "elsewhere/share" is where the system goes.
        const QString elsewhere = dir.filePath(QStringLiteral("elsewhere"));
        ASSERT_TRUE(quillmere::testing::folderWith(elsewhere + QStringLiteral("/sub"), 0700));
        ASSERT_TRUE(quillmere::testing::folderWith(elsewhere + QStringLiteral("/share"), 0700));
        ASSERT_TRUE(QFile::link(elsewhere + QStringLiteral("/sub"), home + QStringLiteral("/lnk")));
        EXPECT_TRUE(OwnedPath::isOwnedFolder(path));
        EXPECT_EQ(OwnedPath::ownedFile(path + QStringLiteral("/settings.ini")),
                  elsewhere + QStringLiteral("/share/settings.ini"));
        EXPECT_EQ(OwnedPath::ownedFile(path + QStringLiteral("/new/deeper/settings.ini")),
                  elsewhere + QStringLiteral("/share/new/deeper/settings.ini"));
        ASSERT_TRUE(AtomicFile::makePrivateFolder(path + QStringLiteral("/made")));
        EXPECT_TRUE(QFileInfo(elsewhere + QStringLiteral("/share/made")).isDir());
        EXPECT_FALSE(QFileInfo::exists(home + QStringLiteral("/share/made")));
        ASSERT_TRUE(QFile::remove(home + QStringLiteral("/lnk")));
    }
    {
        // Into a folder others can write (another user's where the tests may give it away).
        QString open = foreignFolder(dir.filePath(QStringLiteral("open")));
        if (open == u"/") {
            open = dir.filePath(QStringLiteral("open"));
            ASSERT_TRUE(quillmere::testing::folderWith(open, 0777));
        }
        ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0777), 0);
        ASSERT_TRUE(quillmere::testing::folderWith(open + QStringLiteral("/sub"), 0700));
        ASSERT_TRUE(QFile::link(open + QStringLiteral("/sub"), home + QStringLiteral("/lnk")));
        EXPECT_FALSE(OwnedPath::isOwnedFolder(path));
        EXPECT_FALSE(OwnedPath::existingPartIsOwned(path + QStringLiteral("/new")));
        EXPECT_FALSE(OwnedPath::mayHoldFile(path + QStringLiteral("/settings.ini")));
        EXPECT_FALSE(AtomicFile::makePrivateFolder(path + QStringLiteral("/new")));
        EXPECT_FALSE(QFileInfo::exists(open + QStringLiteral("/share")));
        EXPECT_FALSE(QFileInfo::exists(home + QStringLiteral("/share/new")));
        ASSERT_TRUE(QFile::remove(home + QStringLiteral("/lnk")));

        // Up again out of the folder others can write, into one of this user's: still refused, since
        // whoever may write there can swap "sub" for a link elsewhere, and ".." then leads there.
        const QString beside = QFileInfo(open).path() + QStringLiteral("/share");
        ASSERT_TRUE(quillmere::testing::folderWith(beside, 0700));
        ASSERT_TRUE(QFile::link(open + QStringLiteral("/sub"), home + QStringLiteral("/lnk")));
        const QString up = home + QStringLiteral("/lnk/../../share");
        ASSERT_TRUE(QFileInfo(up).isDir()) << "the system leads there";
        EXPECT_FALSE(OwnedPath::isOwnedFolder(up));
        EXPECT_FALSE(OwnedPath::mayHoldFile(up + QStringLiteral("/settings.ini")));
        EXPECT_FALSE(AtomicFile::makePrivateFolder(up + QStringLiteral("/new")));
        EXPECT_FALSE(QFileInfo::exists(beside + QStringLiteral("/new")));
    }
}

// A link that leads to a missing folder is judged where it leads: into another user's folder (who
// may make the missing folder whenever they like, and does so in a loop here) nothing is made and
// nothing written, whatever the moment; into this user's own folder, nothing is made through it
// either, as the system makes nothing through a link that leads nowhere.
TEST(OwnedPath, ALinkToAMissingFolderIsJudgedWhereItLeads) {
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("home/.config"));
    ASSERT_TRUE(quillmere::testing::folderWith(dir.filePath(QStringLiteral("home")), 0700));
    const QString mine = dir.filePath(QStringLiteral("mine"));
    ASSERT_TRUE(quillmere::testing::folderWith(mine, 0700));
    ASSERT_TRUE(QFile::link(mine + QStringLiteral("/missing"), config));
    EXPECT_TRUE(OwnedPath::existingPartIsOwned(config + QStringLiteral("/new")));
    EXPECT_EQ(RegularFile::readOwned(config + QStringLiteral("/settings.ini"), 64).problem,
              RegularFile::Problem::missing);
    QString error;
    EXPECT_FALSE(AtomicFile::writeOwned(config + QStringLiteral("/settings.ini"), "[]", &error));
    EXPECT_EQ(error, QString::fromLocal8Bit(std::strerror(ENOENT)));
    EXPECT_FALSE(QFileInfo::exists(mine + QStringLiteral("/missing")));
    ASSERT_TRUE(QFile::remove(config));

    if (!runsAsRoot())
        return;
    const QString foreign = foreignFolder(dir.filePath(QStringLiteral("theirs")));
    ASSERT_NE(foreign, u"/");
    const QString missing = foreign + QStringLiteral("/missing");
    ASSERT_TRUE(QFile::link(missing, config));
    EXPECT_FALSE(OwnedPath::existingPartIsOwned(config + QStringLiteral("/new")));
    EXPECT_FALSE(OwnedPath::mayHoldFile(config + QStringLiteral("/settings.ini")));
    EXPECT_FALSE(AtomicFile::makePrivateFolder(config + QStringLiteral("/new")));
    EXPECT_FALSE(QFileInfo::exists(missing));

    // The other user makes the folder (0755, theirs) and removes it again, in a loop.
    std::atomic<bool> stop = false;
    std::thread maker([&] {
        // This thread acts on files as the other user.
        ::syscall(SYS_setfsgid, quillmere::testing::foreignUser);
        ::syscall(SYS_setfsuid, quillmere::testing::foreignUser);
        const QByteArray native = QFile::encodeName(missing);
        const QByteArray inside = native + "/settings.ini";
        while (!stop) {
            ::mkdir(native.constData(), 0777);
            ::unlink(inside.constData());
            ::rmdir(native.constData());
        }
    });
    int written = 0;
    int found = 0;
    for (int i = 0; i < 2000; ++i) {
        if (OwnedPath::mayHoldFile(config + QStringLiteral("/settings.ini")) ||
            AtomicFile::makePrivateFolder(config + QStringLiteral("/new")) ||
            AtomicFile::writeOwned(config + QStringLiteral("/settings.ini"), "[]"))
            ++written;
        struct stat status {};
        found +=
            ::stat(QFile::encodeName(missing + QStringLiteral("/settings.ini")).constData(), &status) == 0;
    }
    stop = true;
    maker.join();
    EXPECT_EQ(written, 0);
    EXPECT_EQ(found, 0);
}

// Links are followed as far as the system follows them in one path (40), a chain of them leading
// to the data folder included; one more is a loop to the system, and refused. Each chain is
// judged as the system opens it.
TEST(OwnedPath, AChainOfLinksIsFollowedAsFarAsTheSystemFollowsIt) {
    QTemporaryDir dir;
    const QString data = dir.filePath(QStringLiteral("data"));
    ASSERT_TRUE(quillmere::testing::folderWith(data, 0700));
    QFile file(data + QStringLiteral("/memory.json"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[]");
    file.close();
    for (const int length : {1, 5, 20, OwnedPath::maximumLinks, OwnedPath::maximumLinks + 1}) {
        SCOPED_TRACE(length);
        // chain-N-1 leads to chain-N-2 ... chain-N-0 leads to the folder.
        const auto link = [&](int i) {
            return dir.filePath(QStringLiteral("chain-%1-%2").arg(length).arg(i));
        };
        ASSERT_TRUE(QFile::link(data, link(0)));
        for (int i = 1; i < length; ++i)
            ASSERT_TRUE(QFile::link(link(i - 1), link(i)));
        const QString through = link(length - 1);
        struct stat status {};
        const bool systemFollows =
            ::stat(QFile::encodeName(through + QStringLiteral("/memory.json")).constData(), &status) == 0;
        EXPECT_EQ(systemFollows, length <= 40) << "the system's own bound";
        EXPECT_EQ(OwnedPath::isOwnedFolder(through), systemFollows);
        EXPECT_EQ(OwnedPath::ownedFile(through + QStringLiteral("/memory.json")),
                  systemFollows ? std::optional<QString>(data + QStringLiteral("/memory.json"))
                                : std::nullopt);
        const RegularFile::Contents read =
            RegularFile::readOwned(through + QStringLiteral("/memory.json"), 64);
        EXPECT_EQ(read.bytes, systemFollows ? std::optional<QByteArray>("[]") : std::nullopt);
        EXPECT_EQ(AtomicFile::makePrivateFolder(through + QStringLiteral("/made")), systemFollows);
        EXPECT_EQ(AtomicFile::writeOwned(through + QStringLiteral("/written.json"), "[1]"), systemFollows);
    }
}

// ".." is taken as when the folders are made one at a time along the path (as `mkdir -p` makes
// them): below a folder still to be made it leads back to the folder it is made in, so a data
// folder named through one works from the first run, and a file through one lands where its
// folders lead once made. Every folder something is made in is judged, and so is every folder
// ".." goes up out of; where the rule refuses, nothing is made and the file's write says the
// rule's reason. Made under a umask that takes the owner's own bits, each folder is exactly 0700.
// A path relative to the working folder (Qt passes a relative XDG_CONFIG_HOME or XDG_DATA_HOME on
// as it is) is taken from the working folder, as the system takes it, never from the root.
TEST(OwnedPath, DotDotIsTakenAsTheFoldersAreMadeOneAtATime) {
    const QString refused = OwnedPath::refusalReason();
    const QString noEntry = QString::fromLocal8Bit(std::strerror(ENOENT));
    const QString notFolder = QString::fromLocal8Bit(std::strerror(ENOTDIR));
    const struct Row {
        const char* path;
        bool existingPartOwned;
        const char* made;     // where the folder really is once made; null: not made
        QString folderError;  // makeOwnedFolder's reason when not made
        QStringList alsoMade; // the folders the path leaves again, made on the way
        QString fileError;    // writeOwned's reason for a file in the folder when not written
        bool needsRoot;
    } rows[] = {
        {"home/.local/./share/../share/app", true, "home/.local/share/app", {}, {"home/.local"}, {}, false},
        {"home/new/../app", true, "home/app", {}, {"home/new"}, {}, false},
        {"home/new/./deeper/../../app", true, "home/app", {}, {"home/new", "home/new/deeper"}, {}, false},
        {"home/new/../../home/app", true, "home/app", {}, {"home/new"}, {}, false},
        {"home/new/../../home", true, "home", {}, {"home/new"}, {}, false},
        {"sticky/mine/../mine/app", true, "sticky/mine/app", {}, {}, {}, false},
        // Out of a folder still to be made into one others can write, and the other way round.
        {"home/new/../../open/app", false, nullptr, refused, {}, refused, false},
        {"open/new/../../home/app", false, nullptr, refused, {}, refused, false},
        {"home/new/../../open/new/../../home/app", false, nullptr, refused, {}, refused, false},
        // Up out of another user's folder in a sticky folder: they may swap it for a link.
        {"sticky/theirs/../mine/app", false, nullptr, refused, {}, refused, true},
        // Below what a link that leads nowhere names, and below a file: the system resolves
        // neither, and nothing is made.
        {"home/dangling/../app", false, nullptr, noEntry, {}, refused, false},
        {"home/file/../app", true, nullptr, notFolder, {}, notFolder, false},
    };
    const mode_t savedUmask = ::umask(0277);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        if (row.needsRoot && !runsAsRoot())
            continue;
        for (const auto& [relative, file] : {std::pair{false, false}, std::pair{false, true},
                                             std::pair{true, false}, std::pair{true, true}}) {
            SCOPED_TRACE(relative ? "relative to the working folder" : "from the root");
            QTemporaryDir dir;
            const auto at = [&dir](const QString& relative) { return dir.filePath(relative); };
            ASSERT_TRUE(quillmere::testing::folderWith(at("home"), 0700));
            ASSERT_TRUE(quillmere::testing::folderWith(at("open"), 0777));
            ASSERT_TRUE(quillmere::testing::folderWith(at("sticky"), 01777));
            ASSERT_TRUE(quillmere::testing::folderWith(at("sticky/mine"), 0700));
            if (runsAsRoot()) {
                ASSERT_TRUE(quillmere::testing::folderWith(at("sticky/theirs"), 0755,
                                                           quillmere::testing::foreignUser,
                                                           quillmere::testing::foreignUser));
            }
            ASSERT_TRUE(QFile::link(at("home/nowhere"), at("home/dangling")));
            QFile inTheWay(at("home/file"));
            ASSERT_TRUE(inTheWay.open(QIODevice::WriteOnly));
            inTheWay.close();
            std::optional<WorkingFolder> working;
            if (relative) {
                working.emplace(dir.path());
                ASSERT_TRUE(working->entered());
            }
            const QString path = relative ? QString::fromLatin1(row.path) : at(QString::fromLatin1(row.path));
            // Relative to the folder, readable in a failure.
            const auto shown = [&dir](const std::optional<QString>& real) {
                return real ? QDir(dir.path()).relativeFilePath(*real).toStdString() : std::string("none");
            };
            const auto everything = [&dir] {
                return quillmere::testing::entriesBelow(dir.path()).join(u' ').toStdString();
            };
            const std::string before = everything();
            QString error;
            if (!file) {
                EXPECT_EQ(OwnedPath::existingPartIsOwned(path), row.existingPartOwned);
                EXPECT_FALSE(OwnedPath::isOwnedFolder(path)) << "missing yet";
                const std::optional<QString> real = AtomicFile::makeOwnedFolder(path, &error);
                if (!row.made) {
                    EXPECT_EQ(shown(real), "none");
                    EXPECT_EQ(error.toStdString(), row.folderError.toStdString());
                    EXPECT_EQ(everything(), before) << "nothing made";
                    continue;
                }
                EXPECT_EQ(shown(real), row.made);
                EXPECT_TRUE(OwnedPath::isOwnedFolder(path)) << "the path resolves once made";
                EXPECT_TRUE(AtomicFile::makePrivateFolder(path));
            } else {
                const QString memory = path + QStringLiteral("/memory.json");
                EXPECT_EQ(OwnedPath::mayHoldFile(memory), row.existingPartOwned);
                if (!row.made) {
                    EXPECT_FALSE(AtomicFile::writeOwned(memory, "[]", &error));
                    EXPECT_EQ(error.toStdString(), row.fileError.toStdString());
                    EXPECT_EQ(everything(), before) << "nothing made";
                    continue;
                }
                const QString real = at(QString::fromLatin1(row.made)) + QStringLiteral("/memory.json");
                EXPECT_EQ(shown(OwnedPath::ownedFile(memory)), shown(real));
                ASSERT_TRUE(AtomicFile::writeOwned(memory, "[]", &error)) << error.toStdString();
                QFile written(real);
                ASSERT_TRUE(written.open(QIODevice::ReadOnly));
                EXPECT_EQ(written.readAll(), "[]");
            }
            // Each folder made, exactly 0700.
            QStringList made = file ? QStringList() : row.alsoMade;
            QString folder = QString::fromLatin1(row.made);
            for (; folder != u"home" && folder != u"sticky/mine"; folder = QFileInfo(folder).path())
                made << folder;
            for (const QString& one : made) {
                struct stat status {};
                ASSERT_EQ(::lstat(QFile::encodeName(at(one)).constData(), &status), 0) << one.toStdString();
                EXPECT_TRUE(S_ISDIR(status.st_mode)) << one.toStdString();
                EXPECT_EQ(status.st_mode & 07777, 0700u) << one.toStdString();
            }
        }
    }
    ::umask(savedUmask);

    // A file that exists, reached by ".." out of a folder still to be made: read where it is, and
    // refused where that folder would be made in one others can write.
    QTemporaryDir dir;
    ASSERT_TRUE(quillmere::testing::folderWith(dir.filePath(QStringLiteral("home")), 0700));
    ASSERT_TRUE(quillmere::testing::folderWith(dir.filePath(QStringLiteral("open")), 0777));
    QFile memory(dir.filePath(QStringLiteral("home/memory.json")));
    ASSERT_TRUE(memory.open(QIODevice::WriteOnly));
    memory.close();
    EXPECT_EQ(OwnedPath::ownedFile(dir.filePath(QStringLiteral("home/new/../memory.json"))),
              memory.fileName());
    EXPECT_FALSE(OwnedPath::mayHoldFile(dir.filePath(QStringLiteral("open/new/../../home/memory.json"))));
}
