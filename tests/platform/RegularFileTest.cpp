#include "platform/files/RegularFile.h"

#include "platform/files/OwnedPath.h"
#include "support/FifoGuard.h"
#include "support/ForeignFolder.h"
#include "support/PlantedFiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

TEST(RegularFile, ReadsRegularFilesAndNamesEveryOtherOutcome) {
    QTemporaryDir dir;
    const QString path = dir.filePath("a.json");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    const QByteArray bytes(200 * 1024, 'x');
    file.write(bytes);
    file.close();

    const RegularFile::Contents whole = RegularFile::read(path, bytes.size());
    ASSERT_TRUE(whole.bytes);
    EXPECT_EQ(*whole.bytes, bytes);
    EXPECT_EQ(RegularFile::read(path, bytes.size() - 1).problem, RegularFile::Problem::tooLarge);
    EXPECT_EQ(RegularFile::read(dir.filePath("missing"), 10).problem, RegularFile::Problem::missing);
    EXPECT_EQ(RegularFile::read(dir.path(), 10).problem, RegularFile::Problem::notRegular);
    EXPECT_EQ(RegularFile::examine(dir.path()), RegularFile::Problem::notRegular);
    EXPECT_TRUE(RegularFile::isRegularOrAbsent(path));
    EXPECT_TRUE(RegularFile::isRegularOrAbsent(dir.filePath("missing")));
}

TEST(RegularFile, AFifoIsRefusedWithoutWaitingForAWriter) {
    QTemporaryDir dir;
    const QByteArray fifo = QFile::encodeName(dir.filePath("fifo"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    RegularFile::Problem problem = RegularFile::Problem::none;
    EXPECT_TRUE(quillmere::testing::returnsWithoutBlocking(
        fifo, [&] { problem = RegularFile::read(QFile::decodeName(fifo), 1024).problem; }));
    EXPECT_EQ(problem, RegularFile::Problem::notRegular);
    EXPECT_FALSE(RegularFile::isRegularOrAbsent(QFile::decodeName(fifo)));
}

// A file the application keeps for this user, reached through a link to another user's folder: it
// is refused with the rule's reason before anything is opened, so the file is not even read.
TEST(RegularFile, AnOwnedFileInAnotherUsersFolderIsRefusedUnread) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs to give folders to another user";
    QTemporaryDir dir;
    const QString foreign = quillmere::testing::foreignFolder(dir.filePath("theirs"));
    ASSERT_NE(foreign, "/");
    const auto planted = quillmere::testing::plant(foreign + "/memory.json", "[]");
    ASSERT_TRUE(QFile::link(foreign, dir.filePath("support")));

    const RegularFile::Contents contents = RegularFile::readOwned(dir.filePath("support/memory.json"), 1024);
    EXPECT_EQ(contents.problem, RegularFile::Problem::notOwned);
    EXPECT_FALSE(contents.bytes);
    EXPECT_EQ(RegularFile::describe(contents.problem), OwnedPath::refusalReason());
    EXPECT_EQ(RegularFile::examineOwned(dir.filePath("support/memory.json")), RegularFile::Problem::notOwned);
    EXPECT_EQ(quillmere::testing::touched(planted), QString());

    // The same file reached without the link is an ordinary read.
    EXPECT_EQ(RegularFile::readOwned(foreign + "/memory.json", 1024).problem, RegularFile::Problem::none);
}
