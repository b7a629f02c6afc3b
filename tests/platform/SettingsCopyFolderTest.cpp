#include "platform/config/Defaults.h"

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
// folder (and what it leads to), files of other names inside a copy folder, and copy folders
// anywhere else are left.
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
    for (const QString& copy : {staleCopy, freshCopy, mixed, otherSuites, elsewhere, oldStyle}) {
        ASSERT_TRUE(QDir().mkpath(copy));
        write(copy + "/copy.ini", "[string]\nkey=copy\n");
        write(copy + "/copy.ini.lock", "1\n");
    }
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
    for (const QString& copy : {staleCopy, backup, mixed, otherSuites, elsewhere, oldStyle, documents}) {
        for (const QString& entry : QDir(copy).entryList(QDir::Files | QDir::Hidden))
            ASSERT_TRUE(age(copy + '/' + entry, 3600));
        ASSERT_TRUE(age(copy, 3600));
    }
    const struct timespec old[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(linkedCopy).constData(), old, AT_SYMLINK_NOFOLLOW), 0);
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(folder.filePath("runtime")));

    Defaults defaults("suite", folder.path());
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
}
