#include "platform/files/RegularFile.h"

#include "platform/files/OwnedPath.h"
#include "support/FifoGuard.h"
#include "support/ForeignFolder.h"
#include "support/PlantedFiles.h"
#include "support/SocketAt.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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
    // A link met where none was allowed is a file that moved after it was judged, not a file that
    // cannot be read (which a memory would take for damaged and move aside).
    ASSERT_TRUE(QFile::link(path, dir.filePath("link.json")));
    EXPECT_EQ(RegularFile::openWith(dir.filePath("link.json"), O_NOFOLLOW).problem(),
              RegularFile::Problem::notOwned);
    EXPECT_EQ(RegularFile::openWith(dir.filePath("link.json"), 0).problem(), RegularFile::Problem::none);
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

    // Reached without the link, the folder is still another user's and anybody's to write, and the
    // file another user's: refused alike, unread.
    EXPECT_EQ(RegularFile::readOwned(foreign + "/memory.json", 1024).problem, RegularFile::Problem::notOwned);
    EXPECT_EQ(RegularFile::examineOwned(foreign + "/memory.json"), RegularFile::Problem::notOwned);
    EXPECT_EQ(quillmere::testing::touched(planted), QString());
}

// The file swapped, again and again, between a file of this user's, a link to one in a folder that
// others can write and (where the tests may give files away) a second name for another user's
// file there, while it is read: whatever was judged is what is opened, so the link is never
// followed and the other user's file is refused when open, whichever moment the swap falls on
// (the folder holding the file is judged safe, so only the user could make this swap; what it
// shows is that a judgement is not undone by a change between it and the open).
TEST(RegularFile, AnOwnedFileIsOpenedAsItWasJudged) {
    QTemporaryDir dir;
    const QString mine = dir.filePath("mine");
    const QString open = dir.filePath("open");
    ASSERT_TRUE(quillmere::testing::folderWith(mine, 0700));
    ASSERT_TRUE(quillmere::testing::folderWith(open, 0777));
    const auto make = [](const QString& path, const QByteArray& bytes) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    const QString path = mine + "/memory.json";
    ASSERT_TRUE(make(open + "/planted.json", "planted"));
    // Another user's file, for the second name: one of this user's with two names would look like
    // one with one name to a check made while the other is gone.
    ASSERT_TRUE(make(open + "/theirs.json", "planted"));
    const bool givenAway =
        ::geteuid() == 0 && ::chown(QFile::encodeName(open + "/theirs.json").constData(),
                                    quillmere::testing::foreignUser, quillmere::testing::foreignUser) == 0;
    ASSERT_TRUE(QFile::link(open + "/planted.json", mine + "/link.json"));
    ASSERT_EQ(RegularFile::readOwned(mine + "/link.json", 64).problem, RegularFile::Problem::notOwned);

    std::atomic<bool> stop = false;
    std::thread swapper([&] {
        const QByteArray file = QFile::encodeName(path);
        const QByteArray ownCopy = QFile::encodeName(mine + "/own-copy.json");
        const QByteArray linkCopy = QFile::encodeName(mine + "/link-copy.json");
        const QByteArray target = QFile::encodeName(open + "/planted.json");
        const QByteArray theirs = QFile::encodeName(open + "/theirs.json");
        // Each swap away from a file of this user's straight to one of the others.
        for (bool hard = false; !stop; hard = givenAway && !hard) {
            const int fd = ::open(ownCopy.constData(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
            if (fd >= 0) {
                [[maybe_unused]] const ssize_t written = ::write(fd, "own", 3);
                ::close(fd);
                ::rename(ownCopy.constData(), file.constData());
            }
            ::unlink(linkCopy.constData());
            if ((hard ? ::link(theirs.constData(), linkCopy.constData())
                      : ::symlink(target.constData(), linkCopy.constData())) == 0)
                ::rename(linkCopy.constData(), file.constData());
        }
    });
    int owned = 0;
    int refused = 0;
    int planted = 0;
    for (int i = 0; i < 20000; ++i) {
        const RegularFile::Contents contents = RegularFile::readOwned(path, 64);
        if (contents.bytes && *contents.bytes == "planted")
            ++planted;
        else if (contents.bytes)
            ++owned;
        else
            ++refused;
    }
    stop = true;
    swapper.join();
    EXPECT_EQ(planted, 0) << owned << " read as this user's, " << refused << " refused";
}

// A socket cannot be opened for reading at all ("no such device or address"): it is no regular
// file, refused as what it is, not as a file that cannot be read (which a memory would move
// aside), whether opened as it is or as a file of the user's.
TEST(RegularFile, ASocketIsNoRegularFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("memory.json");
    const quillmere::testing::SocketAt socket(path);
    ASSERT_TRUE(socket.bound());
    EXPECT_EQ(RegularFile::read(path, 64).problem, RegularFile::Problem::notRegular);
    EXPECT_EQ(RegularFile::readOwned(path, 64).problem, RegularFile::Problem::notRegular);
    EXPECT_EQ(RegularFile::openWith(path, O_NOFOLLOW).problem(), RegularFile::Problem::notRegular);
    EXPECT_EQ(RegularFile::examine(path), RegularFile::Problem::notRegular);
}

// Another process saves the file again and again the way every careful writer does (a new file
// renamed over it), while it is read: the file read is never taken for one that is not this
// user's (the one replaced has no name left once open), and what is read is always one whole
// version. A file with a second name, another user's file and one others may write are still
// refused while the same writer runs beside them.
TEST(RegularFile, AFileReplacedWhileItIsOpenedIsReadAgainNotRefused) {
    QTemporaryDir dir;
    const QString mine = dir.filePath("mine");
    ASSERT_TRUE(quillmere::testing::folderWith(mine, 0700));
    const QString path = mine + "/settings.ini";
    const auto make = [](const QString& at, const QByteArray& bytes, mode_t mode = 0600) {
        QFile file(at);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() &&
               ::chmod(QFile::encodeName(at).constData(), mode) == 0;
    };
    ASSERT_TRUE(make(path, "version 0"));
    std::atomic<bool> stop = false;
    std::thread writer([&] {
        const QByteArray target = QFile::encodeName(path);
        const QByteArray next = QFile::encodeName(mine + "/.settings.ini.next");
        for (int i = 1; !stop; ++i) {
            const int fd = ::open(next.constData(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0)
                continue;
            const QByteArray bytes = "version " + QByteArray::number(i % 10);
            [[maybe_unused]] const ssize_t written = ::write(fd, bytes.constData(), size_t(bytes.size()));
            ::close(fd);
            ::rename(next.constData(), target.constData());
        }
    });
    int refused = 0;
    int torn = 0;
    for (int i = 0; i < 20000; ++i) {
        const RegularFile::Contents contents = RegularFile::readOwned(path, 64);
        if (!contents.bytes)
            ++refused;
        else if (!contents.bytes->startsWith("version ") || contents.bytes->size() != 9)
            ++torn;
    }

    // Still refused beside the writer: a second name, another user's file, a file others may write.
    ASSERT_TRUE(make(mine + "/twice.ini", "twice"));
    ASSERT_EQ(::link(QFile::encodeName(mine + "/twice.ini").constData(),
                     QFile::encodeName(mine + "/second.ini").constData()),
              0);
    ASSERT_TRUE(make(mine + "/open.ini", "open", 0666));
    QStringList stillRefused = {mine + "/second.ini", mine + "/open.ini"};
    if (::geteuid() == 0) {
        ASSERT_TRUE(make(mine + "/theirs.ini", "theirs"));
        ASSERT_EQ(::chown(QFile::encodeName(mine + "/theirs.ini").constData(),
                          quillmere::testing::foreignUser, quillmere::testing::foreignUser),
                  0);
        stillRefused << mine + "/theirs.ini";
    }
    for (const QString& other : stillRefused)
        EXPECT_EQ(RegularFile::readOwned(other, 64).problem, RegularFile::Problem::notOwned)
            << other.toStdString();
    stop = true;
    writer.join();
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(torn, 0);
}
