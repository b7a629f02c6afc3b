#include "platform/config/Defaults.h"

#include "support/PermissionsHold.h"
#include "support/SettingsFiles.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

using namespace quillmere;
using quillmere::testing::age;
using quillmere::testing::modeOf;
using quillmere::testing::write;

namespace {
// The folder a settings write makes for Qt's INI code beside the file: made, removed, and the ones
// writes killed before their end left.
class SettingsCopyFolderTest : public ::testing::Test {
protected:
    QTemporaryDir folder;
};
} // namespace

// A write killed before its end leaves a copy of the whole settings: beside the file (the atomic
// replacement's temporary) and in the folder beside it that Qt's INI code writes in. A start removes
// the ones no write can still be using, by their exact names only, inside the settings' own folder
// only, and never through a link: fresh ones, names that only begin alike, a link named like a copy
// folder (and what it leads to), files of other names inside a copy folder (names Qt's own never
// have, however alike), and copy folders anywhere else are left. A copy folder whose owner may not
// read it (made under a umask that took the owner's read bit) is removed all the same, while a
// folder of the user's own named like one keeps its mode. Permissions hold as for any user.
TEST_F(SettingsCopyFolderTest, CopiesLeftByKilledWritesAreRemovedAtStart) {
    const QString stale = folder.filePath(".suite.ini.1a2b3c.tmp");
    const QString fresh = folder.filePath(".suite.ini.4d5e6f.tmp");
    const QString otherFile = folder.filePath(".other.ini.1a2b3c.tmp");
    const QString unlike = folder.filePath(".suite.ini.tmp");
    for (const QString& path : {stale, fresh, otherFile, unlike})
        write(path, "[string]\nkey=copy\n");
    for (const QString& path : {stale, otherFile, unlike})
        ASSERT_TRUE(age(path, 3600));

    const QString staleCopy = folder.filePath(".suite.ini.copy-Ab1Cd2");
    const QString freshCopy = folder.filePath(".suite.ini.copy-Ef3Gh4");
    const QString backup = folder.filePath(".suite.ini.copy-mybackup");
    const QString mixed = folder.filePath(".suite.ini.copy-Kk1Ll2");
    const QString otherSuites = folder.filePath(".other.ini.copy-Ab1Cd2");
    const QString elsewhere = folder.filePath("runtime/.suite.ini.copy-Ab1Cd2");
    const QString oldStyle = folder.filePath("runtime/.quillmere-defaults-Ab1Cd2");
    const QString unreadable = folder.filePath(".suite.ini.copy-Mm3Nn4");
    const QString unlikeQts = folder.filePath(".suite.ini.copy-Rr7Ss8");
    const QString unreadableMixed = folder.filePath(".suite.ini.copy-Tt9Uu0");
    for (const QString& copy : {staleCopy, freshCopy, mixed, otherSuites, elsewhere, oldStyle, unreadable,
                                unlikeQts, unreadableMixed}) {
        ASSERT_TRUE(QDir().mkpath(copy));
        write(copy + "/copy.ini", "[string]\nkey=copy\n");
        write(copy + "/copy.ini.lock", "1\n");
    }
    // The new file Qt writes before renaming it, and the lock that takes over a dead writer's.
    write(staleCopy + "/copy.ini.aB3dE9", "[string]\nkey=copy\n");
    write(staleCopy + "/copy.ini.lock.rmlock", "1\n");
    write(unreadable + "/copy.ini.lock.rmlock", "1\n");
    const QStringList notQts = {"copy.ini.aB3dE9x", "copy.ini.aB3dE", "copy.ini.aB3-E9", "copy.ini.lock.x"};
    for (const QString& name : notQts)
        write(unlikeQts + '/' + name, "the user's own");
    write(unreadableMixed + "/notes.txt", "the user's own");
    ASSERT_TRUE(QDir().mkpath(backup + "/sub"));
    write(backup + "/sub/notes.txt", "the user's own");
    write(backup + "/copy.ini", "the user's own");
    write(mixed + "/notes.txt", "the user's own");
    // A link of the user's named like a copy folder, to their documents.
    const QString documents = folder.filePath("Documents");
    ASSERT_TRUE(QDir().mkpath(documents));
    write(documents + "/thesis.txt", "the user's own");
    write(documents + "/copy.ini", "the user's own");
    const QString linkedCopy = folder.filePath(".suite.ini.copy-Zz9Yy8");
    ASSERT_TRUE(QFile::link(documents, linkedCopy));
    for (const QString& copy : {staleCopy, backup, mixed, otherSuites, elsewhere, oldStyle, documents,
                                unreadable, unlikeQts, unreadableMixed}) {
        for (const QString& entry : QDir(copy).entryList(QDir::Files | QDir::Hidden))
            ASSERT_TRUE(age(copy + '/' + entry, 3600));
        ASSERT_TRUE(age(copy, 3600));
    }
    const struct timespec old[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(linkedCopy).constData(), old, AT_SYMLINK_NOFOLLOW), 0);
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(folder.filePath("runtime")));
    for (const QString& copy : {unreadable, unreadableMixed})
        ASSERT_EQ(::chmod(QFile::encodeName(copy).constData(), 0300), 0);

    {
        const quillmere::testing::PermissionsHold permissions;
        ASSERT_TRUE(permissions.holds());
        Defaults defaults("suite", folder.path());
    }
    qputenv("XDG_RUNTIME_DIR", runtime);
    EXPECT_FALSE(QFileInfo::exists(stale));
    EXPECT_TRUE(QFileInfo::exists(fresh)) << "a write in progress elsewhere";
    EXPECT_TRUE(QFileInfo::exists(otherFile));
    EXPECT_TRUE(QFileInfo::exists(unlike));
    EXPECT_FALSE(QFileInfo::exists(staleCopy));
    EXPECT_TRUE(QFileInfo::exists(freshCopy + "/copy.ini")) << "a write in progress elsewhere";
    EXPECT_TRUE(QFileInfo::exists(backup + "/sub/notes.txt")) << "a name that only begins alike";
    EXPECT_TRUE(QFileInfo::exists(backup + "/copy.ini")) << "a name that only begins alike";
    EXPECT_TRUE(QFileInfo::exists(mixed + "/notes.txt")) << "a name no write makes";
    EXPECT_TRUE(QFileInfo(linkedCopy).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(documents + "/thesis.txt")) << "reached through a link";
    EXPECT_TRUE(QFileInfo::exists(documents + "/copy.ini")) << "reached through a link";
    EXPECT_TRUE(QFileInfo::exists(otherSuites + "/copy.ini")) << "another suite's";
    EXPECT_TRUE(QFileInfo::exists(elsewhere + "/copy.ini")) << "outside the settings' folder";
    EXPECT_TRUE(QFileInfo::exists(oldStyle + "/copy.ini")) << "outside the settings' folder";
    EXPECT_FALSE(QFileInfo::exists(unreadable)) << "not removed for want of the owner's read bit";
    for (const QString& name : notQts)
        EXPECT_TRUE(QFileInfo::exists(unlikeQts + '/' + name))
            << "a name Qt never makes: " << name.toStdString();
    EXPECT_TRUE(QFileInfo::exists(unreadableMixed + "/notes.txt")) << "a name no write makes";
    EXPECT_EQ(modeOf(unreadableMixed), 0300u) << "a folder left keeps its mode";
}
