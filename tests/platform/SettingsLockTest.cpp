#include "platform/config/Defaults.h"

#include "support/FifoGuard.h"
#include "support/SettingsFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <linux/capability.h>
#include <optional>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillmere;
using quillmere::testing::nextTurn;
using quillmere::testing::settingsWriterProgram;
using quillmere::testing::VirtualTime;
using quillmere::testing::write;

namespace {
// Turns at the settings file: writers take turns through the lock QSettings takes, and what stands in
// the lock's place decides whether a write waits, is made or is refused.
class SettingsLockTest : public ::testing::Test {
protected:
    QTemporaryDir folder;
};
} // namespace

// Two processes set a key each at the same time, the second through the suite or through QSettings
// as another program of the user's would: writers take turns at the file, and each turn keeps what
// the other saved before it, so neither loses the other's last value.
TEST_F(SettingsLockTest, TwoProcessesSettingKeysAtOnceLoseNone) {
    constexpr int rounds = 3;
    const QString writes = QStringLiteral("50");
    for (const QString second : {"defaults", "qsettings"}) {
        for (int round = 0; round < rounds; ++round) {
            SCOPED_TRACE(
                QStringLiteral("second writer through %1, round %2").arg(second).arg(round).toStdString());
            const QString shared = folder.filePath(second + QString::number(round));
            ASSERT_TRUE(QDir().mkpath(shared));
            const QString go = shared + "/go";
            QProcess first;
            QProcess other;
            first.start(settingsWriterProgram, {shared, "suite", "first", writes, "defaults", go});
            other.start(settingsWriterProgram, {shared, "suite", "second", writes, second, go});
            ASSERT_TRUE(first.waitForStarted(30000));
            ASSERT_TRUE(other.waitForStarted(30000));
            write(go, "");
            ASSERT_TRUE(first.waitForFinished(300000));
            ASSERT_TRUE(other.waitForFinished(300000));
            EXPECT_EQ(first.exitCode(), 0) << first.readAllStandardError().toStdString();
            EXPECT_EQ(other.exitCode(), 0) << other.readAllStandardError().toStdString();
            Defaults reread("suite", shared);
            EXPECT_EQ(reread.string("first"), writes);
            EXPECT_EQ(reread.string("second"), writes);
        }
    }
}

// What stands in the lock file's place decides whether a write waits, is made or is refused. A lock
// left by a writer that was killed is taken over and the write made. Anything QLockFile never makes
// there (a FIFO, a link, a folder, and the same in the place of the second lock it takes to remove a
// dead writer's) would block the write for ever or for every write's whole wait, and never goes by
// itself: the write is refused at once and said as such, the change kept for the run and written once
// the place is clear, and what was there is left alone.
TEST_F(SettingsLockTest, WhatIsInTheLockFilesPlaceIsTakenOverOrSaidAtOnce) {
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    ASSERT_GT(dead, 0);
    ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
    const QByteArray killedWritersLock = QByteArray::number(dead) + "\n" +
                                         QFile::encodeName(QCoreApplication::applicationFilePath()) + "\n" +
                                         QSysInfo::machineHostName().toUtf8() + "\n";
    const QString refused = QStringLiteral("its lock file is not a regular file");
    const struct {
        const char* what;
        std::function<void(const QString& lock, const QString& aside)> plant;
        std::optional<QString> failure;
    } rows[] = {
        {"a lock left by a writer that was killed",
         [&](const QString& lock, const QString&) { write(lock, killedWritersLock); }, std::nullopt},
        {"a FIFO",
         [](const QString& lock, const QString&) { ::mkfifo(QFile::encodeName(lock).constData(), 0600); },
         refused},
        {"a link to a FIFO",
         [](const QString& lock, const QString& aside) {
             ::mkfifo(QFile::encodeName(aside).constData(), 0600);
             QFile::link(aside, lock);
         },
         refused},
        {"a link that leads nowhere",
         [](const QString& lock, const QString& aside) { QFile::link(aside, lock); }, refused},
        {"a folder", [](const QString& lock, const QString&) { QDir().mkpath(lock); }, refused},
        {"a killed writer's lock and a FIFO in place of the lock that removes it",
         [&](const QString& lock, const QString&) {
             write(lock, killedWritersLock);
             ::mkfifo(QFile::encodeName(lock + ".rmlock").constData(), 0600);
         },
         refused},
    };
    int index = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const QString place = folder.filePath(QString::number(index++));
        ASSERT_TRUE(QDir().mkpath(place));
        const QString lock = place + "/suite.ini.lock";
        write(place + "/suite.ini", "[string]\nkept=by hand\n");
        row.plant(lock, place + "/aside");
        const QStringList planted =
            QDir(place).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        Defaults defaults("suite", place);
        QList<std::optional<QString>> reports;
        defaults.setWriteReport([&](const std::optional<QString>& failure) { reports << failure; });
        defaults.set("QuillmereObservationPaused", true);
        // Whatever opens a FIFO there is woken after a while, so that the test ends either way.
        const QByteArray fifo = QFile::encodeName(QFileInfo(lock + ".rmlock").exists() ? lock + ".rmlock"
                                                  : QFileInfo(lock).isSymLink()        ? place + "/aside"
                                                                                       : lock);
        bool synced = false;
        EXPECT_TRUE(quillmere::testing::returnsWithoutBlocking(fifo, [&] { synced = defaults.sync(); }));
        EXPECT_EQ(synced, !row.failure);
        EXPECT_EQ(defaults.syncFailure(), row.failure);
        EXPECT_EQ(defaults.boolean("QuillmereObservationPaused"), true);
        EXPECT_EQ(Defaults("suite", place).boolean("QuillmereObservationPaused"),
                  row.failure ? std::nullopt : std::optional(true));
        EXPECT_EQ(Defaults("suite", place).string("kept"), "by hand");
        if (!row.failure) {
            EXPECT_FALSE(QFileInfo::exists(lock)) << "the lock taken over is gone once the write is made";
            continue;
        }
        EXPECT_EQ(
            QDir(place).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            planted);
        // The place cleared, the change pending since is written with the next write.
        for (const QString& name : {lock + ".rmlock", lock})
            if (!QFile::remove(name))
                QDir(name).removeRecursively();
        defaults.set("other", 1);
        nextTurn();
        EXPECT_EQ(reports.last(), std::nullopt);
        EXPECT_EQ(Defaults("suite", place).boolean("QuillmereObservationPaused"), true);
    }
}

// The lock is taken where QSettings takes it for the same name, beside that name where it really
// is: a writer holding it is waited for and the write made once it lets go. For a settings file
// that is a link of the user's, that is beside the link (not beside where it leads); for a path
// whose ".." follows a link, beside the file where the system finds it, not in the folder the text
// would tidy it to, which was never judged (a FIFO planted there blocks nothing and is left).
TEST_F(SettingsLockTest, ALockHeldWhereQSettingsTakesItIsWaitedForAndNoOtherIsLookedFor) {
    const QString root = folder.path();
    ASSERT_TRUE(QDir().mkpath(root + "/dotfiles"));
    ASSERT_TRUE(QDir().mkpath(root + "/linked"));
    write(root + "/dotfiles/suite.ini", "[string]\nkey=old\n");
    ASSERT_TRUE(QFile::link(root + "/dotfiles/suite.ini", root + "/linked/suite.ini"));
    ASSERT_TRUE(QDir().mkpath(root + "/deep/inner"));
    ASSERT_TRUE(QDir().mkpath(root + "/deep/conf"));
    ASSERT_TRUE(QFile::link(root + "/deep/inner", root + "/lnk"));
    write(root + "/deep/conf/suite.ini", "[string]\nkey=old\n");
    const struct {
        const char* what;
        QString folder;
        QString lock;    // where QSettings locks, given the same path
        QString written; // where the file really is
        QString decoy;   // a FIFO where the lock is not to be looked for
    } rows[] = {
        {"a settings file linked by the user", root + "/linked", root + "/linked/suite.ini.lock",
         root + "/dotfiles/suite.ini", QString()},
        {"'..' after a link, the tidied folder missing", root + "/lnk/../conf",
         root + "/deep/conf/suite.ini.lock", root + "/deep/conf/suite.ini", QString()},
        {"'..' after a link, the tidied folder another", root + "/lnk/../conf",
         root + "/deep/conf/suite.ini.lock", root + "/deep/conf/suite.ini", root + "/conf/suite.ini.lock"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        VirtualTime time;
        if (!row.decoy.isEmpty()) {
            ASSERT_TRUE(QDir().mkpath(QFileInfo(row.decoy).path()));
            ASSERT_EQ(::mkfifo(QFile::encodeName(row.decoy).constData(), 0600), 0);
        }
        Defaults defaults("suite", row.folder);
        EXPECT_EQ(defaults.string("key"), "old");
        QLockFile held(row.lock);
        ASSERT_TRUE(held.tryLock(0));
        defaults.set("key", QString("new"));
        EXPECT_FALSE(defaults.sync()) << "not waited for";
        EXPECT_EQ(defaults.syncFailure(), "in use by another process");
        EXPECT_EQ(QSettings(row.written, QSettings::IniFormat).value("string/key"), "old");
        held.unlock();
        time.scheduler.advance(3);
        EXPECT_EQ(defaults.syncFailure(), std::nullopt);
        EXPECT_EQ(QSettings(row.written, QSettings::IniFormat).value("string/key"), "new");
        if (!row.decoy.isEmpty()) {
            struct stat left {};
            EXPECT_TRUE(::lstat(QFile::encodeName(row.decoy).constData(), &left) == 0 &&
                        S_ISFIFO(left.st_mode));
            ASSERT_TRUE(QFile::remove(row.decoy));
        }
        write(row.written, "[string]\nkey=old\n");
    }
    EXPECT_TRUE(QFileInfo(root + "/linked/suite.ini").isSymLink());
}

// A lock that cannot be made at all (a configuration folder the user made read-only) is not
// another writer's turn: a program without an event loop, which may wait for a turn, fails at once
// rather than trying for seconds, and says why.
TEST_F(SettingsLockTest, ALockThatCannotBeMadeFailsAtOnce) {
    const QString config = folder.filePath("readonly");
    ASSERT_TRUE(QDir().mkpath(config));
    write(config + "/suite.ini", "[string]\nkey=old\n");
    ASSERT_EQ(::chmod(QFile::encodeName(config).constData(), 0500), 0);
    QProcess writer;
    writer.setChildProcessModifier([] {
        for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
            ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    });
    writer.start(settingsWriterProgram, {config, "suite", "key", "1", "defaults"});
    ASSERT_TRUE(writer.waitForStarted(30000));
    ASSERT_TRUE(writer.waitForFinished(60000));
    ::chmod(QFile::encodeName(config).constData(), 0700);
    const QString said = QString::fromLocal8Bit(writer.readAllStandardError());
    EXPECT_EQ(writer.exitCode(), 1) << said.toStdString();
    const QRegularExpression failed(QStringLiteral("write 1 failed after (\\d+) ms \\((.*)\\)"));
    const QRegularExpressionMatch match = failed.match(said);
    ASSERT_TRUE(match.hasMatch()) << said.toStdString();
    EXPECT_LT(match.captured(1).toInt(), 2500) << "tried again for the whole wait for a turn";
    EXPECT_EQ(match.captured(2), QString::fromLocal8Bit(std::strerror(EACCES)));
    EXPECT_EQ(Defaults("suite", config).string("key"), "old");
}
