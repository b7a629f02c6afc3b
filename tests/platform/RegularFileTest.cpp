#include "platform/files/RegularFile.h"
#include "support/FifoGuard.h"

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
