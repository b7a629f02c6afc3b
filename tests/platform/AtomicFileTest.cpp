#include "platform/files/AtomicFile.h"

#include "platform/files/OwnedPath.h"
#include "support/ForeignFolder.h"
#include "support/PlantedFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;

namespace {

class AtomicFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(folder.isValid()); }
    void TearDown() override { ::umask(savedUmask); }

    QString at(const QString& name) const { return folder.filePath(name); }

    static int modeOf(const QString& path) {
        struct stat status {};
        if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
            return -1;
        return int(status.st_mode & 07777);
    }
    static ino_t inodeOf(const QString& path) {
        struct stat status {};
        ::lstat(QFile::encodeName(path).constData(), &status);
        return status.st_ino;
    }
    static QByteArray contents(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }
    // Everything in the folder, hidden entries included: leftovers would show here.
    QStringList entries() const {
        return QDir(folder.path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    }

    QTemporaryDir folder;
    mode_t savedUmask = ::umask(022);
};

} // namespace

// MARK: - modes

TEST_F(AtomicFileTest, UnderUmaskZeroTheFileNeverHasAWiderModeThanAsked) {
    ::umask(0);
    ASSERT_TRUE(AtomicFile::write(at("private.json"), "{}", 0600));
    EXPECT_EQ(modeOf(at("private.json")), 0600);
    // Replacing keeps the asked mode, not the old file's.
    ASSERT_TRUE(AtomicFile::write(at("private.json"), "{\"a\":1}", 0640));
    EXPECT_EQ(modeOf(at("private.json")), 0640);
    ASSERT_TRUE(AtomicFile::write(at("private.json"), "{}", 0600));
    EXPECT_EQ(modeOf(at("private.json")), 0600);
    EXPECT_EQ(entries(), QStringList{"private.json"}) << "no temporary file left behind";
}

TEST_F(AtomicFileTest, ARestrictiveUmaskDoesNotNarrowTheMode) {
    ::umask(077);
    ASSERT_TRUE(AtomicFile::write(at("shared.txt"), "x", 0644));
    EXPECT_EQ(modeOf(at("shared.txt")), 0644);
}

TEST_F(AtomicFileTest, WritesExactBytesIncludingEmptyAndBinary) {
    QByteArray binary("a\0b\xff\n", 5);
    ASSERT_TRUE(AtomicFile::write(at("bin"), binary));
    EXPECT_EQ(contents(at("bin")), binary);
    ASSERT_TRUE(AtomicFile::write(at("bin"), QByteArray()));
    EXPECT_EQ(QFileInfo(at("bin")).size(), 0);
    const QByteArray large(3 * 1024 * 1024, 'z');
    ASSERT_TRUE(AtomicFile::write(at("large"), large));
    EXPECT_EQ(contents(at("large")), large);
}

TEST_F(AtomicFileTest, AnUnsyncedWriteIsAsAtomicAndAsSafe) {
    const auto sync = AtomicFile::Sync::none;
    ASSERT_TRUE(AtomicFile::write(at("f"), "old", 0644));
    ASSERT_TRUE(AtomicFile::write(at("f"), "new", 0600, nullptr, sync));
    EXPECT_EQ(contents(at("f")), "new");
    EXPECT_EQ(modeOf(at("f")), 0600);
    ASSERT_TRUE(AtomicFile::write(at("target"), "kept", 0600));
    ASSERT_EQ(
        ::symlink(QFile::encodeName(at("target")).constData(), QFile::encodeName(at("link")).constData()), 0);
    ASSERT_TRUE(AtomicFile::writeIfChanged(at("link"), "kept", 0600, nullptr, sync));
    EXPECT_FALSE(QFileInfo(at("link")).isSymLink());
    EXPECT_EQ(contents(at("target")), "kept");
    EXPECT_EQ(entries(), QStringList({"f", "link", "target"}));
}

// MARK: - failures

TEST_F(AtomicFileTest, AWriteThatFailsMidwayLeavesTheOldFileAndNoTemporary) {
    ASSERT_TRUE(AtomicFile::write(at("ledger.json"), "old contents"));
    // A file size limit makes the write itself fail, even for root.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    QString error;
    const bool written = AtomicFile::write(at("ledger.json"), QByteArray(64 * 1024, 'n'), 0600, &error);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(written);
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(contents(at("ledger.json")), "old contents");
    EXPECT_EQ(entries(), QStringList{"ledger.json"});
}

TEST_F(AtomicFileTest, ADirectoryAtThePathIsAFailureNotAWriteInside) {
    ASSERT_TRUE(QDir(folder.path()).mkpath("taken/child"));
    QString error;
    EXPECT_FALSE(AtomicFile::write(at("taken"), "x", 0600, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(QFileInfo(at("taken/child")).isDir());
    EXPECT_EQ(entries(), QStringList{"taken"});
}

TEST_F(AtomicFileTest, MissingFolderOrFileInTheWayOrEmptyPathFails) {
    EXPECT_FALSE(AtomicFile::write(at("absent/file.json"), "x"));
    ASSERT_TRUE(AtomicFile::write(at("plain"), "x"));
    EXPECT_FALSE(AtomicFile::write(at("plain/file.json"), "x"));
    EXPECT_FALSE(AtomicFile::write(QString(), "x"));
    EXPECT_FALSE(AtomicFile::write(folder.path() + "/", "x"));
    EXPECT_EQ(contents(at("plain")), "x");
}

TEST_F(AtomicFileTest, AnUnwritableFolderFailsAndKeepsTheOldFile) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    ASSERT_TRUE(AtomicFile::makeFolder(at("locked"), 0700));
    ASSERT_TRUE(AtomicFile::write(at("locked/state.json"), "old"));
    ASSERT_EQ(::chmod(QFile::encodeName(at("locked")).constData(), 0500), 0);
    EXPECT_FALSE(AtomicFile::write(at("locked/state.json"), "new"));
    ::chmod(QFile::encodeName(at("locked")).constData(), 0700);
    EXPECT_EQ(contents(at("locked/state.json")), "old");
}

// MARK: - links

TEST_F(AtomicFileTest, ALinkPlantedAtThePathIsReplacedNotFollowed) {
    ASSERT_TRUE(AtomicFile::write(at("victim"), "precious", 0644));
    ASSERT_EQ(::symlink(QFile::encodeName(at("victim")).constData(),
                        QFile::encodeName(at("status.json")).constData()),
              0);
    ASSERT_TRUE(AtomicFile::write(at("status.json"), "mine"));
    EXPECT_FALSE(QFileInfo(at("status.json")).isSymLink());
    EXPECT_EQ(contents(at("status.json")), "mine");
    EXPECT_EQ(contents(at("victim")), "precious");
    EXPECT_EQ(modeOf(at("victim")), 0644);
}

TEST_F(AtomicFileTest, ADanglingLinkDoesNotCreateItsTarget) {
    ASSERT_EQ(
        ::symlink(QFile::encodeName(at("elsewhere")).constData(), QFile::encodeName(at("out")).constData()),
        0);
    ASSERT_TRUE(AtomicFile::write(at("out"), "data"));
    EXPECT_FALSE(QFileInfo::exists(at("elsewhere")));
    EXPECT_EQ(contents(at("out")), "data");
}

// MARK: - writeIfChanged

TEST_F(AtomicFileTest, WriteIfChangedLeavesIdenticalFilesAlone) {
    ASSERT_TRUE(AtomicFile::write(at("f"), "same"));
    const ino_t before = inodeOf(at("f"));
    ASSERT_TRUE(AtomicFile::writeIfChanged(at("f"), "same"));
    EXPECT_EQ(inodeOf(at("f")), before);
    ASSERT_TRUE(AtomicFile::writeIfChanged(at("f"), "same!"));
    EXPECT_NE(inodeOf(at("f")), before);
    EXPECT_EQ(contents(at("f")), "same!");
}

TEST_F(AtomicFileTest, WriteIfChangedRewritesForAModeOrALinkOrAPrefix) {
    ASSERT_TRUE(AtomicFile::write(at("f"), "same", 0644));
    ASSERT_TRUE(AtomicFile::writeIfChanged(at("f"), "same", 0600));
    EXPECT_EQ(modeOf(at("f")), 0600);

    ASSERT_TRUE(AtomicFile::write(at("longer"), "same plus more"));
    ASSERT_TRUE(AtomicFile::writeIfChanged(at("longer"), "same"));
    EXPECT_EQ(contents(at("longer")), "same");

    ASSERT_TRUE(AtomicFile::write(at("target"), "same", 0600));
    ASSERT_EQ(
        ::symlink(QFile::encodeName(at("target")).constData(), QFile::encodeName(at("link")).constData()), 0);
    ASSERT_TRUE(AtomicFile::writeIfChanged(at("link"), "same", 0600));
    EXPECT_FALSE(QFileInfo(at("link")).isSymLink());
}

// MARK: - folders

TEST_F(AtomicFileTest, MakeFolderCreatesEachMissingFolderWithTheMode) {
    ::umask(0);
    ASSERT_TRUE(AtomicFile::makeFolder(at("a/b/c"), 0700));
    EXPECT_EQ(modeOf(at("a")), 0700);
    EXPECT_EQ(modeOf(at("a/b")), 0700);
    EXPECT_EQ(modeOf(at("a/b/c")), 0700);
    ::umask(077);
    ASSERT_TRUE(AtomicFile::makeFolder(at("open"), 0755));
    EXPECT_EQ(modeOf(at("open")), 0755);
    // Existing folders are accepted and keep their mode.
    ASSERT_TRUE(AtomicFile::makeFolder(at("open"), 0700));
    EXPECT_EQ(modeOf(at("open")), 0755);
}

TEST_F(AtomicFileTest, MakeFolderFailsWhenAFileIsInTheWay) {
    ASSERT_TRUE(AtomicFile::write(at("file"), "x"));
    QString error;
    EXPECT_FALSE(AtomicFile::makeFolder(at("file"), 0700, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(AtomicFile::makeFolder(at("file/sub"), 0700));
    EXPECT_FALSE(AtomicFile::makeFolder(QString()));
}

// MARK: - Paths

TEST_F(AtomicFileTest, ApplicationSupportIsNamedForTheAppAndPrivate) {
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    const auto supportIn = [&](const QString& dataHome) {
        qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));
        const QString support = Paths::applicationSupport();
        if (saved.isNull())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", saved);
        return support;
    };
    ::umask(0);
    const QString support = supportIn(at("data"));
    ASSERT_FALSE(support.isEmpty());
    EXPECT_TRUE(support.startsWith(at("data") + "/"));
    EXPECT_TRUE(support.endsWith("/" + QCoreApplication::applicationName()));
    EXPECT_TRUE(QFileInfo(support).isDir());
    EXPECT_EQ(modeOf(support), 0700);

    // A file in the folder's way: still named, so that every write there fails with the system's
    // error and is said, rather than nothing being saved in silence.
    ASSERT_TRUE(QDir().mkpath(at("blocked")));
    const QString inTheWay = at("blocked/") + QCoreApplication::applicationName();
    ASSERT_TRUE(AtomicFile::write(inTheWay, "x"));
    EXPECT_EQ(supportIn(at("blocked")), inTheWay);
    QString error;
    EXPECT_FALSE(AtomicFile::write(inTheWay + "/memory.json", "[]", 0600, &error));
    EXPECT_EQ(error, QString::fromLocal8Bit(std::strerror(ENOTDIR)));
}

// The data folder reached through a link to another user's folder is not used at all: no folder
// is named, so nothing is read, made or written there.
TEST_F(AtomicFileTest, ApplicationSupportInAnotherUsersFolderIsNotNamed) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs to give folders to another user";
    const QString foreign = quillmere::testing::foreignFolder(at("theirs"));
    ASSERT_NE(foreign, "/");
    for (const QString& linked : {at("data"), at("home/data/") + QCoreApplication::applicationName()}) {
        SCOPED_TRACE(linked.toStdString());
        ASSERT_TRUE(QDir().mkpath(QFileInfo(linked).path()));
        ASSERT_TRUE(QFile::link(foreign, linked));
        const QString home = linked == at("data") ? at("data") : at("home/data");
        const QByteArray saved = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(home));
        const QString support = Paths::applicationSupport();
        const QString observations = Paths::inApplicationSupport("Quillmere/observations");
        if (saved.isNull())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", saved);
        EXPECT_EQ(support, QString());
        EXPECT_EQ(observations, QString()) << "never a path from the root";
        EXPECT_EQ(quillmere::testing::entriesBelow(foreign), QStringList());
    }
}

TEST(Paths, DiagnosticsRootIsTheTemporaryFolder) {
    EXPECT_EQ(Paths::diagnosticsRoot(), QDir::tempPath());
}

TEST_F(AtomicFileTest, MakePrivateFolderNarrowsAnOpenFolderButLeavesALinkedOneAlone) {
    const QString open = at("open");
    ASSERT_TRUE(QDir().mkpath(open));
    ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0755), 0);
    ASSERT_TRUE(AtomicFile::makePrivateFolder(open));
    EXPECT_EQ(modeOf(open), 0700);
    // One that others can write is refused as it is: what they put there meanwhile would stay.
    const QString writable = at("writable");
    ASSERT_TRUE(QDir().mkpath(writable));
    ASSERT_EQ(::chmod(QFile::encodeName(writable).constData(), 0777), 0);
    EXPECT_FALSE(AtomicFile::makePrivateFolder(writable));
    EXPECT_FALSE(AtomicFile::makePrivateFolder(writable + "/inside"));
    EXPECT_EQ(modeOf(writable), 0777);
    EXPECT_FALSE(QFileInfo::exists(writable + "/inside"));

    // A link to someone's folder is used, never changed.
    const QString shared = at("shared");
    ASSERT_TRUE(QDir().mkpath(shared));
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 0755), 0);
    ASSERT_EQ(::symlink(QFile::encodeName(shared).constData(), QFile::encodeName(at("link")).constData()), 0);
    EXPECT_TRUE(AtomicFile::makePrivateFolder(at("link")));
    EXPECT_EQ(modeOf(shared), 0755);

    EXPECT_TRUE(AtomicFile::makePrivateFolder(at("new/deeper")));
    EXPECT_EQ(modeOf(at("new/deeper")), 0700);
}

TEST_F(AtomicFileTest, MoveAsideNeverReplacesAndMakesTheFilePrivate) {
    ASSERT_TRUE(AtomicFile::write(at("memory.json"), "damaged", 0644));
    ASSERT_TRUE(AtomicFile::write(at("taken"), "keep", 0644));
    EXPECT_FALSE(AtomicFile::moveAside(at("memory.json"), at("taken")));
    EXPECT_EQ(contents(at("taken")), QByteArray("keep"));
    ASSERT_TRUE(AtomicFile::moveAside(at("memory.json"), at("memory.json.damaged")));
    EXPECT_FALSE(QFile::exists(at("memory.json")));
    EXPECT_EQ(contents(at("memory.json.damaged")), QByteArray("damaged"));
    EXPECT_EQ(modeOf(at("memory.json.damaged")), 0600);
}

// A file the application keeps for this user is written where its path really leads: through a
// link of this user's to a file of this user's (a dotfiles or synced folder), whose target gets
// the new bytes while the link stays a link; a missing one made in folders made 0700. Where the
// rule refuses the file (a second name, a file others may write, a link to a file in a folder
// others can write), nothing is replaced and the reason is the rule's.
TEST_F(AtomicFileTest, AnOwnedFileIsWrittenThroughALinkOfTheUsersAndNeverOverARefusedOne) {
    ASSERT_TRUE(QDir().mkpath(at("dotfiles")));
    ASSERT_TRUE(AtomicFile::write(at("dotfiles/settings.ini"), "old"));
    ASSERT_TRUE(QFile::link(at("dotfiles/settings.ini"), at("settings.ini")));
    QString error;
    ASSERT_TRUE(AtomicFile::writeOwned(at("settings.ini"), "new", &error)) << error.toStdString();
    EXPECT_TRUE(QFileInfo(at("settings.ini")).isSymLink()) << "the link stays a link";
    EXPECT_EQ(contents(at("dotfiles/settings.ini")), "new");
    EXPECT_EQ(modeOf(at("dotfiles/settings.ini")), 0600);

    // Whatever the umask: none, or one that takes the owner's own bits (later writes would fail).
    for (const mode_t mask : {0, 0277}) {
        SCOPED_TRACE(QStringLiteral("umask %1").arg(mask, 0, 8).toStdString());
        ::umask(mask);
        const QString made = at(QStringLiteral("new-%1").arg(mask, 0, 8));
        ASSERT_TRUE(AtomicFile::writeOwned(made + "/deeper/memory.json", "[]"));
        EXPECT_EQ(modeOf(made), 0700);
        EXPECT_EQ(modeOf(made + "/deeper"), 0700);
        EXPECT_EQ(modeOf(made + "/deeper/memory.json"), 0600);
    }
    ::umask(022);

    ASSERT_TRUE(AtomicFile::write(at("twice.json"), "kept"));
    ASSERT_EQ(::link(QFile::encodeName(at("twice.json")).constData(),
                     QFile::encodeName(at("second.json")).constData()),
              0);
    ASSERT_TRUE(AtomicFile::write(at("exposed.json"), "kept", 0666));
    ASSERT_TRUE(QDir().mkpath(at("open")));
    ASSERT_EQ(::chmod(QFile::encodeName(at("open")).constData(), 0777), 0);
    ASSERT_TRUE(AtomicFile::write(at("open/target.json"), "kept"));
    ASSERT_TRUE(QFile::link(at("open/target.json"), at("to-open.json")));
    // A link of the user's own to a disk that is not there now: followed, it would make the file
    // (and its folders) where the disk is mounted; replaced, the link would be lost.
    ASSERT_TRUE(QFile::link(at("unmounted/disk/settings.json"), at("unmounted.json")));
    for (const char* name : {"second.json", "exposed.json", "to-open.json", "unmounted.json"}) {
        SCOPED_TRACE(name);
        const ino_t before = inodeOf(at(name));
        const QByteArray was = contents(at(name));
        error.clear();
        EXPECT_FALSE(AtomicFile::writeOwned(at(name), "replaced", &error));
        EXPECT_EQ(error, OwnedPath::refusalReason());
        EXPECT_EQ(inodeOf(at(name)), before);
        EXPECT_EQ(contents(at(name)), was);
    }
    EXPECT_EQ(contents(at("open/target.json")), "kept");
    EXPECT_TRUE(QFileInfo(at("unmounted.json")).isSymLink());
    EXPECT_FALSE(QFileInfo::exists(at("unmounted")));
}
