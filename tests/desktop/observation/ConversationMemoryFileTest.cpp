#include "desktop/observation/ConversationMemoryFile.h"

#include "desktop/diagnostics/DebugMonitor.h"
#include "desktop/diagnostics/WriteFailures.h"
#include "platform/files/OwnedPath.h"

#include "support/FifoGuard.h"
#include "support/FileInTheWay.h"
#include "support/FileSizeLimit.h"
#include "support/ForeignFolder.h"
#include "support/LongPaths.h"
#include "support/PlantedFiles.h"
#include "support/SocketAt.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

using namespace quillmere;

namespace {
int modeOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}
} // namespace

TEST(ConversationMemoryFile, OneFilePerHostWrittenPrivately) {
    QTemporaryDir dir;
    const QString folder = dir.filePath("support/Quillmere");
    ConversationMemoryFile chat(folder, QString("com.openai.chat"));
    ConversationMemoryFile any(folder, std::nullopt);
    ConversationMemoryFile odd(folder, QString("../../etc/passwd"));
    EXPECT_NE(chat.path(), any.path());
    EXPECT_EQ(QFileInfo(odd.path()).absolutePath(), QFileInfo(chat.path()).absolutePath());
    EXPECT_FALSE(QFileInfo(odd.path()).fileName().contains(".."));

    EXPECT_EQ(chat.load(), std::nullopt);
    ASSERT_TRUE(chat.save("[]"));
    EXPECT_EQ(modeOf(chat.path()), 0600);
    EXPECT_EQ(modeOf(folder), 0700);
    ASSERT_TRUE(chat.save("[1]"));

    ConversationMemoryFile again(folder, QString("com.openai.chat"));
    EXPECT_EQ(again.load(), QByteArray("[1]"));
}

// Set aside and said the content-free way, by its kind and the reason, on standard error and as
// the host's debug event: never the file's path, which names the user's home folder. The memory
// of the application's own (no host) is said under the application's identifier.
TEST(ConversationMemoryFile, DamagedFileIsMovedAsideNotDeleted) {
    const struct {
        std::optional<QString> host;
        const char* said;
    } rows[] = {{QString("com.openai.codex"), "com.openai.codex"}, {std::nullopt, "com.quillmere.zudizur"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.said);
        QTemporaryDir dir;
        ConversationMemoryFile file(dir.path(), row.host);
        QFile raw(file.path());
        ASSERT_TRUE(raw.open(QIODevice::WriteOnly));
        raw.write("{not json");
        raw.close();

        ASSERT_EQ(file.load(), QByteArray("{not json"));
        ::testing::internal::CaptureStderr();
        const auto aside = file.setAside("not a memory document");
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "quillmere: the conversation memory is damaged (not a memory document); moved it aside and "
                  "started with an empty memory\n");
        ASSERT_FALSE(DebugMonitor::shared().events().isEmpty());
        EXPECT_TRUE(DebugMonitor::shared().events().back().endsWith(
            QString("  [%1]  The conversation memory is damaged: not a memory document").arg(row.said)))
            << DebugMonitor::shared().events().back().toStdString();
        ASSERT_TRUE(aside.has_value());
        EXPECT_FALSE(QFileInfo::exists(file.path()));
        QFile kept(*aside);
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), "{not json");
        EXPECT_TRUE(file.save("[]"));
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2);
    }
}

// A FIFO is no damaged memory of ours but something put there on purpose: it is neither waited on,
// moved aside nor replaced, and the memory is kept for the run only, said once.
TEST(ConversationMemoryFile, FifoInPlaceOfTheFileIsLeftAloneWithoutBlocking) {
    QTemporaryDir dir;
    ConversationMemoryFile file(dir.path(), QString("com.openai.chat"));
    const QByteArray fifo = QFile::encodeName(file.path());
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    WriteFailures::shared().clear();
    std::optional<QByteArray> loaded = QByteArray("unset");
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(quillmere::testing::returnsWithoutBlocking(fifo, [&] { loaded = file.load(); }));
    EXPECT_FALSE(file.save("[]"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "quillmere: did not use the conversation memory (not a regular file); keeping it in memory "
              "only\n");
    EXPECT_EQ(loaded, std::nullopt);
    struct stat status {};
    ASSERT_EQ(::lstat(fifo.constData(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode)) << "left in place";
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::System | QDir::Files | QDir::Hidden).size(), 1);
}

TEST(ConversationMemoryFile, AsideFilesArePrivateAndTheFolderIsMadePrivate) {
    QTemporaryDir dir;
    const QString folder = dir.filePath("support");
    ASSERT_TRUE(QDir().mkpath(folder));
    // Others may read the folder (a folder others may write is not used at all).
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
    ConversationMemoryFile file(folder, QString("com.openai.chat"));
    QFile raw(file.path());
    ASSERT_TRUE(raw.open(QIODevice::WriteOnly));
    raw.write("[\"private text\"");
    raw.close();
    ASSERT_EQ(::chmod(QFile::encodeName(file.path()).constData(), 0644), 0);
    ASSERT_TRUE(file.load());
    const auto aside = file.setAside("not a memory document");
    ASSERT_TRUE(aside);
    EXPECT_EQ(modeOf(*aside), 0600);
    ASSERT_TRUE(file.save("[]"));
    EXPECT_EQ(modeOf(folder), 0700);
}

TEST(ConversationMemoryFile, StaleTemporariesOfACrashedWriteAreRemovedOnLoad) {
    QTemporaryDir dir;
    ConversationMemoryFile file(dir.path(), QString("com.openai.chat"));
    ASSERT_TRUE(file.save("[1]"));
    const QString name = QFileInfo(file.path()).fileName();
    const auto plant = [&](const QString& planted, bool old) {
        QFile temporary(dir.filePath(planted));
        EXPECT_TRUE(temporary.open(QIODevice::WriteOnly));
        temporary.write("[\"the whole conversation\"]");
        temporary.close();
        if (old) {
            const struct timespec times[2] = {{1000, 0}, {1000, 0}};
            EXPECT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(dir.filePath(planted)).constData(), times, 0),
                      0);
        }
    };
    const QString stale = "." + name + ".3w5e11264sgsg.tmp";
    const QString fresh = "." + name + ".1a2b3c.tmp";      // a write in progress elsewhere
    const QString other = ".other.json.3w5e11264sgsg.tmp"; // another file's
    const QString lookalike = "." + name + ".NOT-OURS.tmp";
    plant(stale, true);
    plant(fresh, false);
    plant(other, true);
    plant(lookalike, true);

    ConversationMemoryFile again(dir.path(), QString("com.openai.chat"));
    EXPECT_EQ(again.load(), QByteArray("[1]"));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(stale)));
    EXPECT_TRUE(QFileInfo::exists(dir.filePath(fresh)));
    EXPECT_TRUE(QFileInfo::exists(dir.filePath(other)));
    EXPECT_TRUE(QFileInfo::exists(dir.filePath(lookalike)));
}

namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(ConversationMemoryFile, AWriteThatFailsIsRecordedAndRetriedOnTheNextChange) {
    WriteFailures::shared().clear();
    QTemporaryDir dir;
    ConversationMemoryFile file(dir.path(), QString("com.anthropic.claude"));
    ASSERT_TRUE(file.save("[\"old\"]"));
    const QByteArray large(64 * 1024, 'x');
    {
        quillmere::testing::FileSizeLimit full(4096);
        EXPECT_FALSE(file.save(large));
        EXPECT_FALSE(file.save(large + "y"));
    }
    // The old file is whole and nothing was left beside it.
    EXPECT_EQ(contents(file.path()), "[\"old\"]");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    ASSERT_EQ(WriteFailures::shared().failures().size(), 1);
    const WriteFailures::Failure failure = WriteFailures::shared().failures().front();
    EXPECT_EQ(failure.kind, "conversation memory");
    EXPECT_EQ(failure.host, "com.anthropic.claude");
    EXPECT_EQ(failure.error, QString::fromLocal8Bit(std::strerror(EFBIG)));
    EXPECT_EQ(failure.failedAttempts, 2);
    EXPECT_FALSE(failure.writtenAgain);

    // Room again: the next change is saved, and the failure is resolved.
    EXPECT_TRUE(file.save(large));
    EXPECT_EQ(contents(file.path()), large);
    EXPECT_TRUE(WriteFailures::shared().failures().front().writtenAgain);
    WriteFailures::shared().clear();
}

TEST(ConversationMemoryFile, AFolderThatCannotBeMadeIsAFailedWriteToo) {
    WriteFailures::shared().clear();
    QTemporaryDir dir;
    ASSERT_TRUE(quillmere::testing::fileInTheWay(dir.filePath("support")));
    ConversationMemoryFile file(dir.filePath("support/Quillmere"), QString("com.openai.chat"));
    EXPECT_FALSE(file.save("[]"));
    ASSERT_EQ(WriteFailures::shared().failures().size(), 1);
    EXPECT_EQ(WriteFailures::shared().failures().front().host, "com.openai.chat");
    EXPECT_EQ(WriteFailures::shared().failures().front().error,
              QString::fromLocal8Bit(std::strerror(ENOTDIR)));
    WriteFailures::shared().clear();
}

// A file deleted while the application runs is written again by the next save, even of the same
// memory: what the file last held is no proof that it still holds it.
TEST(ConversationMemoryFile, AFileDeletedMeanwhileIsWrittenAgainBySavingTheSameMemory) {
    QTemporaryDir dir;
    ConversationMemoryFile file(dir.path(), QString("com.openai.chat"));
    ASSERT_TRUE(file.save("[\"same\"]"));
    ASSERT_TRUE(QFile::remove(file.path()));
    EXPECT_TRUE(file.save("[\"same\"]"));
    EXPECT_EQ(contents(file.path()), "[\"same\"]");
}

// A damaged file that could not be moved aside is kept as it is: no later save replaces it. The
// file's folder path is so long that the file fits but its aside name does not.
TEST(ConversationMemoryFile, ADamagedFileThatCouldNotBeSetAsideIsNeverOverwritten) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString bundle(200, QLatin1Char('b'));
    const QString folder = quillmere::testing::memoryFileThatCannotBeSetAside(dir.path(), bundle, "{damaged");
    ASSERT_FALSE(folder.isEmpty());
    ConversationMemoryFile file(folder, bundle);
    ASSERT_EQ(file.load(), QByteArray("{damaged"));
    EXPECT_FALSE(file.setAside("not a memory document"));
    EXPECT_TRUE(file.refusesWrites());
    EXPECT_FALSE(file.save("[]"));
    EXPECT_EQ(contents(file.path()), "{damaged");
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

// The memory folder reached through a link to another user's folder: whatever is there was put
// there by that user. Nothing is read (a memory to restore), moved (a damaged file) or deleted (a
// stale temporary copy); the memory starts empty and its saves fail as on a full disk, said once
// with the rule's reason and the promise to try again.
TEST(ConversationMemoryFile, NothingInAnotherUsersFolderIsReadMovedOrDeleted) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs to give folders to another user";
    QTemporaryDir dir;
    const QString foreign = quillmere::testing::foreignFolder(dir.filePath("theirs"));
    ASSERT_NE(foreign, "/");
    using quillmere::testing::plant;
    const QList<quillmere::testing::Planted> planted = {
        plant(foreign + "/conversation-memory-com.openai.chat.json", "[]"),
        plant(foreign + "/conversation-memory-com.openai.codex.json", "{not json"),
        plant(foreign + "/.conversation-memory-com.openai.chat.json.abc123.tmp", "stale", 3600),
    };
    ASSERT_TRUE(QFile::link(foreign, dir.filePath("support")));
    const QStringList before = quillmere::testing::entriesBelow(foreign);

    WriteFailures::shared().clear();
    ::testing::internal::CaptureStderr();
    ConversationMemoryFile chat(dir.filePath("support"), QString("com.openai.chat"));
    ConversationMemoryFile codex(dir.filePath("support"), QString("com.openai.codex"));
    EXPECT_EQ(chat.load(), std::nullopt);
    EXPECT_EQ(codex.load(), std::nullopt);
    EXPECT_FALSE(chat.save("[\"remembered\"]"));
    EXPECT_FALSE(chat.save("[\"remembered\",\"more\"]"));
    const std::string said = ::testing::internal::GetCapturedStderr();
    WriteFailures::shared().clear();

    for (const auto& file : planted)
        EXPECT_EQ(quillmere::testing::touched(file), QString());
    EXPECT_EQ(quillmere::testing::entriesBelow(foreign), before);
    EXPECT_EQ(said, "quillmere: could not save the conversation memory (" +
                        OwnedPath::refusalReason().toStdString() + "); it is tried again later\n");
}

// No data folder to use (the system names none, or the rule refused it): the memory is kept in
// memory only, and no file of that name is looked for anywhere else, the working folder included.
TEST(ConversationMemoryFile, WithoutAFolderNothingIsReadOrWrittenAnywhere) {
    QTemporaryDir dir;
    const auto planted =
        quillmere::testing::plant(dir.filePath("conversation-memory-com.openai.chat.json"), "[]");
    const QString working = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    WriteFailures::shared().clear();
    ConversationMemoryFile file(QString(), QString("com.openai.chat"));
    const std::optional<QByteArray> loaded = file.load();
    const bool saved = file.save("[]");
    QDir::setCurrent(working);
    EXPECT_EQ(file.path(), QString());
    EXPECT_EQ(loaded, std::nullopt);
    EXPECT_FALSE(saved);
    ASSERT_EQ(WriteFailures::shared().failures().size(), 1);
    EXPECT_EQ(WriteFailures::shared().failures().front().error, "no usable data folder");
    WriteFailures::shared().clear();
    EXPECT_EQ(quillmere::testing::touched(planted), QString());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

// What is at the memory's path and is no memory file of ours to replace: a socket (which cannot
// even be opened to read) and a file with a second name (the rule's refusal, as for the settings).
// Neither is read, moved aside or replaced; it is said once with its reason, and the memory is kept
// in memory only: its saves fail without replacing it.
TEST(ConversationMemoryFile, ASocketOrASecondNameIsLeftInPlaceAndTheMemoryKeptInMemory) {
    const struct {
        const char* what;
        const char* reason;
    } rows[] = {{"a socket", "not a regular file"}, {"a second name", nullptr}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        QTemporaryDir dir;
        ConversationMemoryFile file(dir.path(), QString("com.openai.chat"));
        const QByteArray native = QFile::encodeName(file.path());
        std::optional<quillmere::testing::SocketAt> socket;
        if (row.reason) {
            socket.emplace(file.path());
            ASSERT_TRUE(socket->bound());
        } else {
            QFile raw(file.path());
            ASSERT_TRUE(raw.open(QIODevice::WriteOnly));
            raw.write("[\"remembered\"]");
            raw.close();
            ASSERT_EQ(
                ::link(native.constData(), QFile::encodeName(dir.filePath("second-name.json")).constData()),
                0);
        }
        struct stat before {};
        ASSERT_EQ(::lstat(native.constData(), &before), 0);
        const QStringList entries =
            QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::Hidden);
        WriteFailures::shared().clear();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(file.load(), std::nullopt);
        EXPECT_TRUE(file.refusesWrites());
        EXPECT_FALSE(file.save("[]"));
        EXPECT_FALSE(file.save("[1]"));
        ConversationMemoryFile again(dir.path(), QString("com.openai.chat"));
        EXPECT_EQ(again.load(), std::nullopt);
        const QString reason = row.reason ? QString::fromLatin1(row.reason) : OwnedPath::refusalReason();
        EXPECT_EQ(QString::fromStdString(::testing::internal::GetCapturedStderr()),
                  "quillmere: did not use the conversation memory (" + reason +
                      "); keeping it in memory only\n");
        WriteFailures::shared().clear();
        struct stat after {};
        ASSERT_EQ(::lstat(native.constData(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << "left in place";
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::Hidden), entries);
        if (!row.reason) {
            EXPECT_EQ(contents(file.path()), "[\"remembered\"]");
        }
    }
}

// The memory file is a link of this user's to a file of this user's (kept in a synced folder):
// saves write through it, so the file it leads to holds the memory and the link stays a link, and
// what a crashed save left is looked for beside that file.
TEST(ConversationMemoryFile, ALinkOfTheUsersIsWrittenThrough) {
    QTemporaryDir dir;
    const QString synced = dir.filePath("synced");
    ASSERT_TRUE(QDir().mkpath(synced));
    ConversationMemoryFile file(dir.filePath("support"), QString("com.openai.chat"));
    ASSERT_TRUE(QDir().mkpath(dir.filePath("support")));
    QFile target(synced + "/memory.json");
    ASSERT_TRUE(target.open(QIODevice::WriteOnly));
    target.write("[\"old\"]");
    target.close();
    ASSERT_TRUE(QFile::link(target.fileName(), file.path()));
    // A crashed write's copy lies beside the file where it really is, and is removed there.
    const QString stale = synced + "/.memory.json.3w5e11264sgsg.tmp";
    QFile copy(stale);
    ASSERT_TRUE(copy.open(QIODevice::WriteOnly));
    copy.close();
    const struct timespec times[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(stale).constData(), times, 0), 0);
    EXPECT_EQ(file.load(), QByteArray("[\"old\"]"));
    EXPECT_FALSE(QFileInfo::exists(stale));
    ASSERT_TRUE(file.save("[\"new\"]"));
    EXPECT_TRUE(QFileInfo(file.path()).isSymLink());
    EXPECT_EQ(contents(target.fileName()), "[\"new\"]");
    ConversationMemoryFile again(dir.filePath("support"), QString("com.openai.chat"));
    EXPECT_EQ(again.load(), QByteArray("[\"new\"]"));
}
