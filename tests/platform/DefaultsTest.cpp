#include "platform/config/Defaults.h"

#include "platform/files/OwnedPath.h"
#include "platform/tasks/Scheduler.h"
#include "support/FifoGuard.h"
#include "support/FileSizeLimit.h"
#include "support/ForeignFolder.h"
#include "support/PermissionsHold.h"
#include "support/PlantedFiles.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <linux/capability.h>
#include <optional>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillmere;

namespace {
class DefaultsTest : public ::testing::Test {
protected:
    QTemporaryDir folder;
};

// Lets the writes posted to the event loop run.
void nextTurn() {
    QCoreApplication::sendPostedEvents();
}

mode_t modeOf(const QString& path) {
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : 07777;
}

void write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}
} // namespace

TEST_F(DefaultsTest, TypedValuesRoundTripThroughTheFile) {
    {
        Defaults defaults("com.example.suite", folder.path());
        defaults.set("name", QString("Quill"));
        defaults.set("enabled", true);
        defaults.set("off", false);
        defaults.set("ratio", 0.1);
        defaults.set("count", 42);
        defaults.set("big", qint64(1) << 53);
        defaults.sync();
    }
    EXPECT_TRUE(QFileInfo::exists(folder.filePath("com.example.suite.ini")));
    Defaults reread("com.example.suite", folder.path());
    EXPECT_EQ(reread.string("name"), "Quill");
    EXPECT_EQ(reread.boolean("enabled"), true);
    EXPECT_EQ(reread.boolean("off"), false);
    EXPECT_EQ(reread.number("ratio"), 0.1);
    EXPECT_EQ(reread.number("count"), 42.0);
    EXPECT_EQ(reread.number("big"), 9007199254740992.0);
    EXPECT_EQ(reread.string("absent"), std::nullopt);
}

TEST_F(DefaultsTest, AValueOfTheWrongStoredTypeReadsAsNone) {
    Defaults defaults("suite", folder.path());
    defaults.set("flag", QString("true"));
    defaults.set("yes", QString("YES"));
    defaults.set("number", 1);
    defaults.set("bool", true);
    EXPECT_EQ(defaults.boolean("flag"), std::nullopt);
    EXPECT_EQ(defaults.boolean("yes"), std::nullopt);
    EXPECT_EQ(defaults.boolean("number"), std::nullopt);
    EXPECT_EQ(defaults.string("number"), std::nullopt);
    EXPECT_EQ(defaults.number("bool"), std::nullopt);
    EXPECT_EQ(defaults.string("bool"), std::nullopt);
    // Storing again under another type replaces the old value.
    defaults.set("bool", QString("now text"));
    EXPECT_EQ(defaults.boolean("bool"), std::nullopt);
    EXPECT_EQ(defaults.string("bool"), "now text");
}

TEST_F(DefaultsTest, AwkwardTextsSurviveTheIniFormat) {
    const QStringList texts = {
        QString(),
        "a, b, c",
        "@Variant(0)",
        "@@at",
        "key=value; comment",
        "[section]",
        "line\nbreak\r\nand\ttab",
        "\"quoted\"",
        "back\\slash",
        "control\x01"
        "1\x1f"
        "f",
        QString::fromUtf8("Zudizur \u2014 \u05e9\u05b8\u05c1\u05dc\u05d5\u05b9\u05dd \U0001F642"),
        "  padded  "};
    {
        Defaults defaults("awkward", folder.path());
        for (int i = 0; i < texts.size(); ++i)
            defaults.set(QStringLiteral("text%1").arg(i), texts[i]);
        defaults.set("weird key = [x] ; #", QString("v"));
        defaults.sync();
    }
    Defaults reread("awkward", folder.path());
    for (int i = 0; i < texts.size(); ++i)
        EXPECT_EQ(reread.string(QStringLiteral("text%1").arg(i)), texts[i]) << i;
    EXPECT_EQ(reread.string("weird key = [x] ; #"), "v");
    // Files that earlier versions wrote through QSettings, and that they will read: the same texts
    // both ways.
    QSettings written(folder.filePath("awkward.ini"), QSettings::IniFormat);
    QSettings earlier(folder.filePath("earlier.ini"), QSettings::IniFormat);
    for (int i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(written.value(QStringLiteral("string/text%1").arg(i)), QVariant(texts[i])) << i;
        earlier.setValue(QStringLiteral("string/text%1").arg(i), texts[i]);
    }
    earlier.setValue("string/weird key = [x] ; #", "v");
    earlier.setValue("string/nul", QString::fromUtf16(u"a\0"
                                                      "1",
                                                      3));
    earlier.sync();
    Defaults fromEarlier("earlier", folder.path());
    for (int i = 0; i < texts.size(); ++i)
        EXPECT_EQ(fromEarlier.string(QStringLiteral("text%1").arg(i)), texts[i]) << i;
    EXPECT_EQ(fromEarlier.string("weird key = [x] ; #"), "v");
    EXPECT_EQ(fromEarlier.string("nul"), QString::fromUtf16(u"a\0"
                                                            "1",
                                                            3));
}

// Files edited by hand read as QSettings reads them, and what the suite does not understand (a
// list, a typed value, another section) is kept as it was when the suite writes the file.
TEST_F(DefaultsTest, HandWrittenFilesReadAsQSettingsReadsThem) {
    const QByteArray text = "\xef\xbb\xbf[string]\n"
                            "; a comment\n"
                            "plain = spaced value  \n"
                            "quoted=\"a, b; c\" \n"
                            "joined=\"a\"b\"c\"\n"
                            "escapes=\\x41\\x4g\\101z\\t\\q\\\"\n"
                            "cut=a;comment\n"
                            "continued=x\\\ny\n"
                            "crlfcontinued=x\\\r\ny\n"
                            "crlf=windows\r\n"
                            "list=a, b\n"
                            "at=@foo\n"
                            "atat=@@bar\n"
                            "str=@String(abc)\n"
                            "rect=@Rect(1 2 3 4)\n"
                            "bytes=@ByteArray(xyz)\n"
                            "invalid=@Invalid()\n"
                            "%E9%U00E8=keyed\n"
                            "a\\b=slashed\n"
                            "#hash=kept\n"
                            "noequals\n"
                            "dup=first\n"
                            "[%General]\n"
                            "g=in a section named General\n"
                            "[GENERAL]\n"
                            "top=at the top\n"
                            "[ string ]\n"
                            "dup=second\n"
                            "[broken\n"
                            "b=1\n"
                            "[string]\n"
                            "utf8=\xc3\xa9\xf0\x9f\x99\x82\n";
    write(folder.filePath("edited.ini"), text);
    QSettings settings(folder.filePath("edited.ini"), QSettings::IniFormat);
    const QStringList keys = settings.allKeys();
    ASSERT_GE(keys.size(), 20);
    // Taken now: a QSettings object reads its file again once the file has changed, so after the
    // write it would only tell what the file holds then.
    QHash<QString, QVariant> before;
    for (const QString& key : keys)
        before.insert(key, settings.value(key));
    Defaults defaults("edited", folder.path());
    for (const QString& key : keys) {
        if (!key.startsWith("string/"))
            continue;
        const QVariant value = settings.value(key);
        const std::optional<QString> expected =
            value.typeId() == QMetaType::QString ? std::optional(value.toString()) : std::nullopt;
        EXPECT_EQ(defaults.string(key.mid(7)), expected) << key.toStdString();
    }
    EXPECT_EQ(defaults.string("plain"), "spaced value");
    EXPECT_EQ(defaults.string("dup"), "second");

    defaults.set("plain", QString("changed"));
    ASSERT_TRUE(defaults.sync());
    QSettings after(folder.filePath("edited.ini"), QSettings::IniFormat);
    for (const QString& key : keys) {
        if (key != "string/plain") {
            EXPECT_EQ(after.value(key), before.value(key)) << key.toStdString();
        }
    }
    EXPECT_EQ(after.value("string/plain"), "changed");
    EXPECT_EQ(after.allKeys().size(), keys.size());
}

TEST_F(DefaultsTest, RemovalAndInvalidValues) {
    Defaults defaults("suite", folder.path());
    defaults.set("a", QString("x"));
    defaults.remove("a");
    EXPECT_EQ(defaults.string("a"), std::nullopt);
    defaults.set("b", true);
    defaults.set("b", QVariant());
    EXPECT_EQ(defaults.boolean("b"), std::nullopt);
    defaults.set("c", 3);
    defaults.set("c", QVariant(QDateTime::currentDateTimeUtc())); // unsupported: refused, old kept
    EXPECT_EQ(defaults.number("c"), 3.0);
}

TEST_F(DefaultsTest, SuitesAreSeparateFilesInsideTheFolder) {
    Defaults first("one", folder.path());
    Defaults second("two", folder.path());
    Defaults escaping("../escape", folder.path());
    first.set("k", QString("1"));
    second.set("k", QString("2"));
    escaping.set("k", QString("3"));
    first.sync();
    second.sync();
    escaping.sync();
    EXPECT_EQ(first.string("k"), "1");
    EXPECT_EQ(second.string("k"), "2");
    EXPECT_FALSE(QFileInfo::exists(folder.filePath("../escape.ini")));
    EXPECT_TRUE(QFileInfo::exists(folder.filePath(".._escape.ini")));
}

TEST_F(DefaultsTest, AHandEditedFileWithBadValuesReadsAsNone) {
    QFile file(folder.filePath("edited.ini"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[bool]\nflag=YES\n[number]\nn=twelve\n[string]\nlist=a, b\n");
    file.close();
    Defaults defaults("edited", folder.path());
    EXPECT_EQ(defaults.boolean("flag"), std::nullopt);
    EXPECT_EQ(defaults.number("n"), std::nullopt);
    EXPECT_EQ(defaults.string("list"), std::nullopt) << "read back as a list, not a string";
}

// The configuration folder is another user's folder, or reached through a link to one, holding
// settings that user wrote (a service address that would receive every conversation): nothing there is read
// or written, not even a file made where there was none. The suite runs on what this run sets.
TEST_F(DefaultsTest, ASuiteInAnotherUsersFolderIsNeitherReadNorWritten) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs to give folders to another user";
    const QString foreign = quillmere::testing::foreignFolder(folder.filePath("theirs"));
    ASSERT_NE(foreign, "/");
    const auto planted = quillmere::testing::plant(
        foreign + "/suite.ini", "[string]\nQuillmereClassificationServiceURL=http://127.0.0.1:9/classify\n");
    ASSERT_TRUE(QFile::link(foreign, folder.filePath("config")));
    const QStringList before = quillmere::testing::entriesBelow(foreign);
    // Through the link, and named directly: the folder is another user's either way.
    for (const auto& [suite, where] :
         {std::pair{"suite", folder.filePath("config")}, std::pair{"absent", folder.filePath("config")},
          std::pair{"suite", foreign}, std::pair{"absent", foreign}}) {
        SCOPED_TRACE(suite + (" in " + where).toStdString());
        Defaults defaults(suite, where);
        EXPECT_EQ(defaults.refusal(), OwnedPath::refusalReason());
        EXPECT_EQ(defaults.string("QuillmereClassificationServiceURL"), std::nullopt);
        defaults.set("kept", QString("for this run"));
        defaults.set("on", true);
        defaults.set("count", 3);
        EXPECT_EQ(defaults.string("kept"), "for this run");
        EXPECT_EQ(defaults.boolean("on"), true);
        EXPECT_EQ(defaults.number("count"), 3.0);
        EXPECT_EQ(defaults.string("count"), std::nullopt) << "types stay apart";
        defaults.remove("on");
        EXPECT_EQ(defaults.boolean("on"), std::nullopt);
        EXPECT_FALSE(defaults.sync());
    }
    EXPECT_EQ(quillmere::testing::touched(planted), QString());
    EXPECT_EQ(quillmere::testing::entriesBelow(foreign), before);
}

// A FIFO where the suite's file should be: opening it to read would wait for a writer for ever.
// It is neither waited for nor replaced, and the suite runs on what this run sets.
TEST_F(DefaultsTest, AFifoInPlaceOfTheFileIsNeitherWaitedForNorReplaced) {
    const QByteArray fifo = QFile::encodeName(folder.filePath("suite.ini"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    std::optional<QString> refusal;
    std::optional<QString> value;
    bool synced = true;
    EXPECT_TRUE(quillmere::testing::returnsWithoutBlocking(fifo, [&] {
        Defaults defaults("suite", folder.path());
        refusal = defaults.refusal();
        defaults.set("key", QString("value"));
        value = defaults.string("key");
        synced = defaults.sync();
    }));
    EXPECT_EQ(refusal, "not a regular file");
    EXPECT_EQ(value, "value");
    EXPECT_FALSE(synced);
    struct stat status {};
    ASSERT_EQ(::lstat(fifo.constData(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
}

// The file swapped for a FIFO after the suite read it: every write judges the file again first,
// so neither a sync nor the final write on destruction opens it (either would wait for a writer
// for ever); what was set is kept for the run, and the FIFO is left in place.
TEST_F(DefaultsTest, AFileSwappedForAFifoAfterTheStartBlocksNoWrite) {
    const QString path = folder.filePath("suite.ini");
    {
        Defaults defaults("suite", folder.path());
        defaults.set("key", QString("before"));
        ASSERT_TRUE(defaults.sync());
    }
    const QByteArray fifo = QFile::encodeName(path);
    bool synced = true;
    std::optional<QString> failure;
    std::optional<QString> value;
    EXPECT_TRUE(quillmere::testing::returnsWithoutBlocking(fifo, [&] {
        Defaults defaults("suite", folder.path());
        EXPECT_EQ(defaults.string("key"), "before");
        EXPECT_TRUE(QFile::remove(path));
        EXPECT_EQ(::mkfifo(fifo.constData(), 0600), 0);
        defaults.set("key", QString("after"));
        synced = defaults.sync();
        failure = defaults.syncFailure();
        value = defaults.string("key");
        defaults.set("pending", true); // left for the write on destruction
    }));
    EXPECT_FALSE(synced);
    EXPECT_EQ(failure, "not a regular file");
    EXPECT_EQ(value, "after");
    struct stat status {};
    ASSERT_EQ(::lstat(fifo.constData(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
}

// A settings file of this user's that cannot be read (mode 000): it is refused as a FIFO is, with
// its reason, so the application says so; nothing in it is read and it is not replaced by what
// this run sets.
TEST_F(DefaultsTest, AnUnreadableFileIsRefusedWithItsReasonAndLeftAsItIs) {
    const QString path = folder.filePath("suite.ini");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[string]\nkey=stored\n");
    file.close();
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0), 0);
    {
        const quillmere::testing::PermissionsHold hold;
        if (!hold.holds())
            GTEST_SKIP() << "cannot give up passing over file permissions";
        Defaults defaults("suite", folder.path());
        EXPECT_EQ(defaults.refusal(), "cannot be read");
        EXPECT_EQ(defaults.string("key"), std::nullopt);
        defaults.set("key", QString("this run"));
        EXPECT_EQ(defaults.string("key"), "this run");
        EXPECT_FALSE(defaults.sync());
    }
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0u);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "[string]\nkey=stored\n");
}

// A suite that is used says nothing about itself.
TEST_F(DefaultsTest, AUsableSuiteHasNoRefusal) {
    Defaults defaults("suite", folder.filePath("not/made/yet"));
    EXPECT_EQ(defaults.refusal(), std::nullopt);
    defaults.set("key", QString("value"));
    EXPECT_TRUE(defaults.sync());
    EXPECT_TRUE(QFileInfo::exists(folder.filePath("not/made/yet/suite.ini")));
}

// Every change reaches the file on the next turn of the event loop, without a sync: a crash or a
// kill after it loses nothing. What is still pending when the suite goes is written then.
TEST_F(DefaultsTest, ChangesReachTheFileOnTheNextTurnAndWhenTheSuiteGoes) {
    Defaults defaults("suite", folder.path());
    defaults.set("paused", true);
    defaults.set("started", QString("2026-10-01T10:00:00.000Z"));
    nextTurn();
    EXPECT_EQ(Defaults("suite", folder.path()).boolean("paused"), true);
    EXPECT_EQ(Defaults("suite", folder.path()).string("started"), "2026-10-01T10:00:00.000Z");
    defaults.remove("started");
    nextTurn();
    EXPECT_EQ(Defaults("suite", folder.path()).string("started"), std::nullopt);
    {
        Defaults going("suite", folder.path());
        going.set("pending", 1);
    }
    EXPECT_EQ(Defaults("suite", folder.path()).number("pending"), 1.0);
}

// What it makes is this user's alone whatever the umask: the folders 0700, the file 0600, and a
// file an earlier version left group-writable is narrowed when next written.
TEST_F(DefaultsTest, FoldersAndFilesItMakesAreThisUsersAloneWhateverTheUmask) {
    for (const mode_t mask : {mode_t(0), mode_t(002), mode_t(077)}) {
        SCOPED_TRACE(mask);
        const QString root = folder.filePath(QString::number(mask));
        const mode_t before = ::umask(mask);
        {
            Defaults defaults("suite", root + "/made/here");
            defaults.set("key", QString("value"));
            EXPECT_TRUE(defaults.sync());
        }
        ::umask(before);
        EXPECT_EQ(modeOf(root), 0700u);
        EXPECT_EQ(modeOf(root + "/made/here"), 0700u);
        EXPECT_EQ(modeOf(root + "/made/here/suite.ini"), 0600u);
    }
    write(folder.filePath("old.ini"), "[string]\nkey=old\n");
    ASSERT_EQ(::chmod(QFile::encodeName(folder.filePath("old.ini")).constData(), 0664), 0);
    Defaults defaults("old", folder.path());
    defaults.set("key", QString("new"));
    EXPECT_TRUE(defaults.sync());
    EXPECT_EQ(modeOf(folder.filePath("old.ini")), 0600u);
}

// A settings file far larger than any real one (a sparse gigabyte) is refused with its reason
// before anything is read, and never replaced; one at the bound is read.
TEST_F(DefaultsTest, AFileOverTheSizeBoundIsRefusedUnreadAndKept) {
    const QString large = folder.filePath("large.ini");
    write(large, "[string]\nkey=stored\n");
    ASSERT_TRUE(QFile::resize(large, qint64(1) << 30));
    Defaults defaults("large", folder.path());
    EXPECT_EQ(defaults.refusal(), "too large");
    EXPECT_EQ(defaults.string("key"), std::nullopt);
    defaults.set("key", QString("this run"));
    EXPECT_FALSE(defaults.sync());
    EXPECT_EQ(QFileInfo(large).size(), qint64(1) << 30);

    QByteArray atBound = "[string]\nkey=stored\n;";
    atBound += QByteArray(Defaults::maximumFileBytes - atBound.size(), 'x');
    write(folder.filePath("bound.ini"), atBound);
    EXPECT_EQ(Defaults("bound", folder.path()).string("key"), "stored");
    write(folder.filePath("over.ini"), atBound + 'x');
    EXPECT_EQ(Defaults("over", folder.path()).refusal(), "too large");
}

// A write that fails (a file where the folder should be) is reported, by sync() and to the write
// report, and its change stays pending until a write succeeds.
TEST_F(DefaultsTest, AFailedWriteIsReportedAndItsChangeWrittenLater) {
    const QString config = folder.filePath("config");
    write(config, "");
    Defaults defaults("suite", config);
    ASSERT_EQ(defaults.refusal(), std::nullopt);
    QList<std::optional<QString>> reports;
    defaults.setWriteReport([&](const std::optional<QString>& failure) { reports << failure; });
    defaults.set("revocation", true);
    nextTurn();
    ASSERT_EQ(reports.size(), 1);
    EXPECT_EQ(reports.front(), QString::fromLocal8Bit(std::strerror(ENOTDIR)));
    EXPECT_FALSE(defaults.sync());
    EXPECT_EQ(defaults.syncFailure(), QString::fromLocal8Bit(std::strerror(ENOTDIR)));
    EXPECT_EQ(defaults.boolean("revocation"), true) << "kept for the run";

    ASSERT_TRUE(QFile::remove(config));
    defaults.set("other", 1);
    nextTurn();
    EXPECT_EQ(reports.last(), std::nullopt);
    EXPECT_EQ(Defaults("suite", config).boolean("revocation"), true);
}

// Two processes share the file: a write keeps what the other saved meanwhile rather than writing
// an older change again, and takes it up, so this run reads the other's value from then on.
TEST_F(DefaultsTest, AWriteKeepsAndTakesUpWhatAnotherProcessSavedMeanwhile) {
    Defaults ours("suite", folder.path());
    Defaults theirs("suite", folder.path());
    ours.set("shared", QString("ours"));
    ASSERT_TRUE(ours.sync());
    theirs.set("shared", QString("theirs"));
    theirs.set("only theirs", true);
    ASSERT_TRUE(theirs.sync());
    ours.set("mine", 1);
    ASSERT_TRUE(ours.sync());
    EXPECT_EQ(ours.string("shared"), "theirs");
    EXPECT_EQ(ours.boolean("only theirs"), true);
    Defaults reread("suite", folder.path());
    EXPECT_EQ(reread.string("shared"), "theirs");
    EXPECT_EQ(reread.number("mine"), 1.0);
}

namespace {
const QString writerProgram = QStringLiteral(QUILLMERE_BINARY_DIR "/defaults-writer");

// Sets the file's or folder's modification time `seconds` back.
bool age(const QString& path, int seconds) {
    const std::time_t then = std::time(nullptr) - seconds;
    const struct timespec times[2] = {{then, 0}, {then, 0}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}
} // namespace

// Two processes set a key each at the same time, the second through the suite or through QSettings
// as another program of the user's would: writers take turns at the file, and each turn keeps what
// the other saved before it, so neither loses the other's last value.
TEST_F(DefaultsTest, TwoProcessesSettingKeysAtOnceLoseNone) {
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
            first.start(writerProgram, {shared, "suite", "first", writes, "defaults", go});
            other.start(writerProgram, {shared, "suite", "second", writes, second, go});
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
TEST_F(DefaultsTest, WhatIsInTheLockFilesPlaceIsTakenOverOrSaidAtOnce) {
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

// A value edited by hand and left open (a quote never closed, a backslash at the very end) reads
// as QSettings reads it, and every key written after it is written so that it reads back: the
// collection start set at one start is there at the next two, and QSettings reads it as well.
TEST_F(DefaultsTest, AValueLeftOpenByHandSwallowsNoKeyWrittenAfterIt) {
    const struct {
        const char* what;
        QByteArray text;
    } rows[] = {
        {"a quote never closed",
         "[string]\nQuillmereClassificationServiceURL=\"http://127.0.0.1:9/classify\n"},
        {"a quote never closed, no line end",
         "[string]\nQuillmereClassificationServiceURL=\"http://127.0.0.1:9/x"},
        {"a backslash at the end",
         "[string]\nQuillmereClassificationServiceURL=http://127.0.0.1:9/classify\\"},
        {"a backslash at the end of a line", "[string]\nQuillmereClassificationServiceURL=http://h/\\\n"},
    };
    const QString started = QStringLiteral("2026-12-01T10:00:00.000Z");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const QString suite = QString::fromLatin1(row.what).replace(' ', '-').remove(',');
        const QString path = folder.filePath(suite + ".ini");
        write(path, row.text);
        const QVariant url =
            QSettings(path, QSettings::IniFormat).value("string/QuillmereClassificationServiceURL");
        qint64 size = 0;
        for (int start = 0; start < 3; ++start) {
            SCOPED_TRACE(start);
            Defaults defaults(suite, folder.path());
            EXPECT_EQ(defaults.string("QuillmereClassificationServiceURL"), url.toString());
            if (start == 0) {
                EXPECT_EQ(defaults.string("QuillmereCollectionStarted"), std::nullopt);
                defaults.set("QuillmereCollectionStarted", started);
            } else {
                EXPECT_EQ(defaults.string("QuillmereCollectionStarted"), started);
            }
            defaults.set("QuillmereObservationPaused", false);
            ASSERT_TRUE(defaults.sync());
            if (start == 2) {
                EXPECT_EQ(QFileInfo(path).size(), size) << "grew by what it swallowed";
            }
            size = QFileInfo(path).size();
        }
        QSettings written(path, QSettings::IniFormat);
        EXPECT_EQ(written.value("string/QuillmereCollectionStarted"), started);
        EXPECT_EQ(written.value("bool/QuillmereObservationPaused"), "false");
        EXPECT_EQ(written.value("string/QuillmereClassificationServiceURL"), url);
    }
}

// The bound a start reads within is kept on writing too: a change that would make the file larger
// than the next start reads is not written. It is said (to the write report, once per write), kept
// for this run, and the file stays as it was, so the next start reads it.
TEST_F(DefaultsTest, AWriteTheNextStartWouldRefuseIsNotMade) {
    const QString path = folder.filePath("suite.ini");
    const QByteArray head = "[string]\nfiller=";
    QByteArray text = head + QByteArray(1048560 - head.size() - 1, 'x') + '\n';
    ASSERT_EQ(text.size(), 1048560);
    write(path, text);
    Defaults defaults("suite", folder.path());
    ASSERT_EQ(defaults.refusal(), std::nullopt);
    QList<std::optional<QString>> reports;
    defaults.setWriteReport([&](const std::optional<QString>& failure) { reports << failure; });
    defaults.set("QuillmereCollectionStarted", QString("2026-12-01T10:00:00.000Z"));
    nextTurn();
    ASSERT_EQ(reports.size(), 1);
    EXPECT_EQ(reports.front(), "too large");
    EXPECT_FALSE(defaults.sync());
    EXPECT_EQ(defaults.syncFailure(), "too large");
    EXPECT_EQ(defaults.string("QuillmereCollectionStarted"), "2026-12-01T10:00:00.000Z")
        << "kept for the run";
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), text);
    Defaults next("suite", folder.path());
    EXPECT_EQ(next.refusal(), std::nullopt);
    EXPECT_EQ(next.string("filler")->size(), text.size() - head.size() - 1);

    // At the bound exactly the write is made; one byte more and it is not.
    for (const qsizetype over : {0, 1}) {
        SCOPED_TRACE(over);
        const QString name = QStringLiteral("bound%1").arg(over);
        const QByteArray filler = QByteArray(Defaults::maximumFileBytes - 21 + over, 'x');
        write(folder.filePath(name + ".ini"), "[string]\nfiller=" + filler + '\n');
        Defaults atBound(name, folder.path());
        atBound.set("k", QString("v"));
        EXPECT_EQ(atBound.sync(), over == 0);
        EXPECT_EQ(QFileInfo(folder.filePath(name + ".ini")).size(),
                  over == 0 ? Defaults::maximumFileBytes : filler.size() + 17);
    }

    // Room made by another process: the pending change is written with the next write.
    write(path, "[string]\nfiller=short\n");
    defaults.set("other", true);
    nextTurn();
    EXPECT_EQ(reports.last(), std::nullopt);
    EXPECT_EQ(Defaults("suite", folder.path()).string("QuillmereCollectionStarted"),
              "2026-12-01T10:00:00.000Z");
}

// A write killed before its end leaves a copy of the whole settings: beside the file (the atomic
// replacement's temporary) and in the folder beside it that Qt's INI code writes in. A start removes
// the ones no write can still be using, by their exact names only, inside the settings' own folder
// only, and never through a link: fresh ones, names that only begin alike, a link named like a copy
// folder (and what it leads to), files of other names inside a copy folder, and copy folders
// anywhere else are left.
TEST_F(DefaultsTest, CopiesLeftByKilledWritesAreRemovedAtStart) {
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

// The settings file is a link of this user's own into a folder of theirs (a dotfiles folder): each
// write goes where the link leads, and the link stays a link.
TEST_F(DefaultsTest, ASettingsFileLinkedByThisUserIsWrittenWhereItLeads) {
    ASSERT_TRUE(QDir().mkpath(folder.filePath("dotfiles")));
    ASSERT_TRUE(QDir().mkpath(folder.filePath("config")));
    const QString target = folder.filePath("dotfiles/suite.ini");
    const QString link = folder.filePath("config/suite.ini");
    write(target, "[string]\nkey=old\n");
    ASSERT_TRUE(QFile::link(target, link));
    {
        Defaults defaults("suite", folder.filePath("config"));
        EXPECT_EQ(defaults.string("key"), "old");
        defaults.set("key", QString("new"));
        nextTurn();
        defaults.set("second", true);
        EXPECT_TRUE(defaults.sync());
    }
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), target);
    QSettings written(target, QSettings::IniFormat);
    EXPECT_EQ(written.value("string/key"), "new");
    EXPECT_EQ(written.value("bool/second"), "true");
}

// A program without an application object has no event loop to write on its next turn: a change
// reaches the file at once, so a kill right after it loses nothing.
TEST_F(DefaultsTest, WithoutAnApplicationObjectAChangeReachesTheFileAtOnce) {
    QProcess writer;
    writer.start(writerProgram, {folder.path(), "suite", "key", "3", "hold"});
    ASSERT_TRUE(writer.waitForStarted(30000));
    ASSERT_TRUE(writer.waitForReadyRead(60000));
    EXPECT_EQ(writer.readAllStandardOutput(), "set\n");
    EXPECT_EQ(Defaults("suite", folder.path()).string("key"), "3");
    ::kill(pid_t(writer.processId()), SIGKILL);
    writer.waitForFinished(30000);
    EXPECT_EQ(Defaults("suite", folder.path()).string("key"), "3");
}

namespace {

// Virtual time for the writes tried again, for one test.
class VirtualTime {
public:
    VirtualTime() { Scheduler::setCurrent(&scheduler); }
    ~VirtualTime() { Scheduler::setCurrent(nullptr); }
    VirtualScheduler scheduler;
};

QString readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

// Another writer holds its turn at the file: a write of the suite's own accord never waits for it
// on the event loop, nor says it while the turn is short; it is tried again shortly until it is
// written, without any further change. A turn held for longer is said, once. What stands in the
// lock's place without being a lock is said at once and tried again the same way once cleared.
TEST_F(DefaultsTest, AWriteThatFailedIsTriedAgainUntilWrittenWithoutWaitingOnTheLoop) {
    const QString identifier = QStringLiteral("0123456789abcdef");
    {
        SCOPED_TRACE("another writer's turn");
        VirtualTime time;
        QLockFile held(folder.filePath("suite.ini.lock"));
        ASSERT_TRUE(held.tryLock(0));
        Defaults defaults("suite", folder.path());
        QList<std::optional<QString>> reports;
        defaults.setWriteReport([&](const std::optional<QString>& failure) { reports << failure; });
        defaults.set("QuillmereDesktopInstallID", identifier);
        QElapsedTimer turn;
        turn.start();
        nextTurn();
        // A write that waited for the turn would hold the loop for the whole of its wait (seconds).
        EXPECT_LT(turn.elapsed(), 2500) << "waited on the loop for the other writer's turn";
        EXPECT_EQ(reports, QList<std::optional<QString>>()) << "waited out on the loop, or said at once";
        EXPECT_FALSE(QFileInfo::exists(folder.filePath("suite.ini")));
        time.scheduler.advance(1);
        EXPECT_EQ(reports, QList<std::optional<QString>>());
        time.scheduler.advance(6);
        ASSERT_FALSE(reports.isEmpty()) << "a turn held this long is said";
        EXPECT_EQ(reports.front(), "in use by another process");
        held.unlock();
        time.scheduler.advance(3);
        EXPECT_EQ(reports.last(), std::nullopt);
        EXPECT_EQ(Defaults("suite", folder.path()).string("QuillmereDesktopInstallID"), identifier);
        EXPECT_EQ(defaults.syncFailure(), std::nullopt);
    }
    {
        SCOPED_TRACE("a FIFO in the lock's place");
        VirtualTime time;
        const QString place = folder.filePath("fifo");
        ASSERT_TRUE(QDir().mkpath(place));
        ASSERT_EQ(::mkfifo(QFile::encodeName(place + "/suite.ini.lock").constData(), 0600), 0);
        Defaults defaults("suite", place);
        QList<std::optional<QString>> reports;
        defaults.setWriteReport([&](const std::optional<QString>& failure) { reports << failure; });
        defaults.set("QuillmereDesktopInstallID", identifier);
        nextTurn();
        EXPECT_EQ(reports, QList<std::optional<QString>>{QString("its lock file is not a regular file")});
        time.scheduler.advance(8);
        ASSERT_TRUE(QFile::remove(place + "/suite.ini.lock"));
        time.scheduler.advance(3);
        EXPECT_EQ(reports.last(), std::nullopt);
        EXPECT_EQ(Defaults("suite", place).string("QuillmereDesktopInstallID"), identifier);
    }
}

// Reading the settings needs no free space and no temporary or runtime folder, and neither is
// used to write them: with both missing, not folders, or folders others may write, and with no
// file may grow at all, a saved value is read; and a change is written, with nothing made in either.
TEST_F(DefaultsTest, ReadingNeedsNoTemporaryFolderAndWritingMakesNothingThere) {
    const QString shared = folder.filePath("shared");
    ASSERT_TRUE(QDir().mkpath(shared));
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 0777), 0);
    write(folder.filePath("notafolder"), "");
    const struct {
        const char* what;
        QString temporary;
        bool full;
    } rows[] = {
        {"missing", folder.filePath("missing"), false},
        {"not a folder", folder.filePath("notafolder"), false},
        {"writable by others, not sticky", shared, false},
        {"no room to write anything", shared, true},
    };
    const QByteArray temporary = qgetenv("TMPDIR");
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    int index = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const QString config = folder.filePath(QString::number(index++));
        ASSERT_TRUE(QDir().mkpath(config));
        write(config + "/suite.ini",
              "[string]\nQuillmereClassificationServiceURL=http://127.0.0.1:9/classify\n");
        qputenv("TMPDIR", QFile::encodeName(row.temporary));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(row.temporary));
        std::optional<QString> refusal;
        std::optional<QString> url;
        bool written = false;
        {
            Defaults defaults("suite", config);
            {
                std::optional<quillmere::testing::FileSizeLimit> limit;
                if (row.full)
                    limit.emplace(0);
                const Defaults reread("suite", config);
                refusal = reread.refusal();
                url = reread.string("QuillmereClassificationServiceURL");
            }
            defaults.set("QuillmereObservationPaused", true);
            written = defaults.sync();
        }
        qputenv("TMPDIR", temporary);
        qputenv("XDG_RUNTIME_DIR", runtime);
        EXPECT_EQ(refusal, std::nullopt);
        EXPECT_EQ(url, "http://127.0.0.1:9/classify");
        EXPECT_TRUE(written);
        EXPECT_EQ(Defaults("suite", config).boolean("QuillmereObservationPaused"), true);
        EXPECT_EQ(
            QDir(shared).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList());
        EXPECT_EQ(
            QDir(config).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList{"suite.ini"})
            << "the copy written beside the file is gone";
    }
}

// A disk that fills during a write (here a file size limit) cuts QSettings' copy short without an
// error from it: what was written is read back and compared, so the cut value is neither put in
// place nor taken as written. The write is said as failed, the change kept, and it is written in
// full once there is room, without any further change.
TEST_F(DefaultsTest, AValueCutShortIsAFailedWriteAndWrittenWholeLater) {
    VirtualTime time;
    const QString value(600, u'v');
    Defaults defaults("suite", folder.path());
    QList<std::optional<QString>> reports;
    defaults.setWriteReport([&](const std::optional<QString>& failure) { reports << failure; });
    {
        quillmere::testing::FileSizeLimit limit(200);
        defaults.set("QuillmereClassificationServiceURL", value);
        EXPECT_FALSE(defaults.sync());
        EXPECT_EQ(defaults.syncFailure(), "what was written did not read back");
        time.scheduler.advance(1);
    }
    EXPECT_EQ(defaults.string("QuillmereClassificationServiceURL"), value) << "kept for the run";
    EXPECT_FALSE(QFileInfo::exists(folder.filePath("suite.ini")))
        << readAll(folder.filePath("suite.ini")).size();
    ASSERT_FALSE(reports.isEmpty());
    EXPECT_EQ(reports.front(), "what was written did not read back");
    time.scheduler.advance(3);
    EXPECT_EQ(reports.last(), std::nullopt);
    EXPECT_EQ(Defaults("suite", folder.path()).string("QuillmereClassificationServiceURL"), value);
}

// The lock is taken where QSettings takes it for the same name, beside that name where it really
// is: a writer holding it is waited for and the write made once it lets go. For a settings file
// that is a link of the user's, that is beside the link (not beside where it leads); for a path
// whose ".." follows a link, beside the file where the system finds it, not in the folder the text
// would tidy it to, which was never judged (a FIFO planted there blocks nothing and is left).
TEST_F(DefaultsTest, ALockHeldWhereQSettingsTakesItIsWaitedForAndNoOtherIsLookedFor) {
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
TEST_F(DefaultsTest, ALockThatCannotBeMadeFailsAtOnce) {
    const QString config = folder.filePath("readonly");
    ASSERT_TRUE(QDir().mkpath(config));
    write(config + "/suite.ini", "[string]\nkey=old\n");
    ASSERT_EQ(::chmod(QFile::encodeName(config).constData(), 0500), 0);
    QProcess writer;
    writer.setChildProcessModifier([] {
        for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
            ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    });
    writer.start(writerProgram, {config, "suite", "key", "1", "defaults"});
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
