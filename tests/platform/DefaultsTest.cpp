#include "platform/config/Defaults.h"

#include "platform/files/OwnedPath.h"
#include "platform/tasks/Scheduler.h"
#include "support/FifoGuard.h"
#include "support/FileSizeLimit.h"
#include "support/ForeignFolder.h"
#include "support/PermissionsHold.h"
#include "support/PlantedFiles.h"
#include "support/SettingsFiles.h"
#include "support/SignalProcess.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <linux/capability.h>
#include <map>
#include <memory>
#include <optional>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace quillmere;
using quillmere::testing::age;
using quillmere::testing::modeOf;
using quillmere::testing::nextTurn;
using quillmere::testing::readAll;
using quillmere::testing::settingsWriterProgram;
using quillmere::testing::VirtualTime;
using quillmere::testing::write;

namespace {
class DefaultsTest : public ::testing::Test {
protected:
    QTemporaryDir folder;
};
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

// A suite that is used says nothing about itself, its folders made on the first write: named from
// the root, and relative to the working folder (Qt passes a relative XDG_CONFIG_HOME on as it is),
// '..' below a folder not made yet included.
TEST_F(DefaultsTest, AUsableSuiteHasNoRefusal) {
    const struct {
        const char* folder;
        bool relative;
        const char* file; // where it is written, in the test's folder
    } rows[] = {
        {"not/made/yet", false, "not/made/yet/suite.ini"},
        {"relative/made", true, "relative/made/suite.ini"},
        {"new/../conf", true, "conf/suite.ini"},
    };
    const QString working = QDir::currentPath();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.folder);
        const QString place = row.relative ? QString::fromLatin1(row.folder) : folder.filePath(row.folder);
        if (row.relative) {
            ASSERT_TRUE(QDir::setCurrent(folder.path()));
        }
        std::optional<QString> refusal;
        bool written = false;
        std::optional<QString> reread;
        {
            Defaults defaults("suite", place);
            refusal = defaults.refusal();
            defaults.set("key", QString("value"));
            written = defaults.sync();
            reread = Defaults("suite", place).string("key");
        }
        QDir::setCurrent(working);
        EXPECT_EQ(refusal, std::nullopt);
        EXPECT_TRUE(written);
        EXPECT_EQ(reread, "value");
        EXPECT_TRUE(QFileInfo::exists(folder.filePath(row.file)));
    }
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
// file an earlier version left group-writable is narrowed when next written. A umask that takes the
// owner's own bits keeps no write from being made (the copy the write hands Qt, and the folder it
// is made in, are the owner's to write, read and enter all the same), and leaves nothing behind.
// Permissions hold here as for any user: root passes over them.
TEST_F(DefaultsTest, FoldersAndFilesItMakesAreThisUsersAloneWhateverTheUmask) {
    for (const mode_t mask :
         {mode_t(0), mode_t(002), mode_t(077), mode_t(0177), mode_t(0277), mode_t(0400), mode_t(0477)}) {
        SCOPED_TRACE(QString::number(mask, 8).toStdString());
        const QString root = folder.filePath(QString::number(mask));
        const QString place = root + "/made/here";
        std::optional<QString> failures[2];
        {
            const quillmere::testing::PermissionsHold permissions;
            ASSERT_TRUE(permissions.holds());
            const mode_t before = ::umask(mask);
            {
                Defaults defaults("suite", place);
                defaults.set("key", QString("value"));
                defaults.sync();
                failures[0] = defaults.syncFailure();
                // Written again over the file it made.
                defaults.set("second", true);
                defaults.sync();
                failures[1] = defaults.syncFailure();
            }
            ::umask(before);
        }
        EXPECT_EQ(failures[0].value_or("none").toStdString(), "none");
        EXPECT_EQ(failures[1].value_or("none").toStdString(), "none");
        EXPECT_EQ(modeOf(root), 0700u);
        EXPECT_EQ(modeOf(place), 0700u);
        EXPECT_EQ(modeOf(place + "/suite.ini"), 0600u);
        EXPECT_EQ(QDir(place)
                      .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
                      .join(' ')
                      .toStdString(),
                  "suite.ini")
            << "a copy folder left behind";
        const Defaults reread("suite", place);
        EXPECT_EQ(reread.string("key"), "value");
        EXPECT_EQ(reread.boolean("second"), true);
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
// an older change again, and takes it up, so this run reads the other's value from then on; a sync
// with nothing to write takes it up as well.
TEST_F(DefaultsTest, AWriteKeepsAndTakesUpWhatAnotherProcessSavedMeanwhile) {
    Defaults ours("suite", folder.path());
    Defaults theirs("suite", folder.path());
    ours.set("shared", QString("ours"));
    ASSERT_TRUE(ours.sync());
    theirs.set("shared", QString("theirs"));
    theirs.set("only theirs", true);
    ASSERT_TRUE(theirs.sync());
    ASSERT_TRUE(ours.sync()) << "nothing to write";
    EXPECT_EQ(ours.string("shared"), "theirs") << "not taken up by a sync with nothing to write";
    EXPECT_EQ(ours.boolean("only theirs"), true) << "not taken up by a sync with nothing to write";
    ours.set("mine", 1);
    ASSERT_TRUE(ours.sync());
    EXPECT_EQ(ours.string("shared"), "theirs");
    EXPECT_EQ(ours.boolean("only theirs"), true);
    Defaults reread("suite", folder.path());
    EXPECT_EQ(reread.string("shared"), "theirs");
    EXPECT_EQ(reread.number("mine"), 1.0);
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
    writer.start(settingsWriterProgram, {folder.path(), "suite", "key", "3", "hold"});
    ASSERT_TRUE(writer.waitForStarted(30000));
    ASSERT_TRUE(writer.waitForReadyRead(60000));
    EXPECT_EQ(writer.readAllStandardOutput(), "set\n");
    EXPECT_EQ(Defaults("suite", folder.path()).string("key"), "3");
    quillmere::testing::signalProcess(writer, SIGKILL);
    writer.waitForFinished(30000);
    EXPECT_EQ(Defaults("suite", folder.path()).string("key"), "3");
}

// What is still pending as a suite ends is written in its turn at the file: as the application
// quits (the last write waits a while for another writer's turn to end), and in a program without an
// application object (whose every write may wait some seconds for one). What cannot be written then
// is said on standard error with its reason, never lost in silence.
TEST_F(DefaultsTest, WhatIsPendingAsASuiteEndsIsWrittenInItsTurnOrSaidLost) {
    const struct {
        const char* what;
        const char* mode;
        int turnMilliseconds; // another writer's turn, from the change on; -1: to the end
        bool fifoAtLock;
        std::optional<QString> lost; // the reason said
    } rows[] = {
        {"the application quits while another writer's turn lasts half a second", "quit", 500, false,
         std::nullopt},
        {"the application quits while another writer holds on", "quit", -1, false,
         "in use by another process"},
        {"no application object, another writer's turn lasts a second", "defaults", 1000, false,
         std::nullopt},
        {"no application object, a FIFO in the lock's place", "defaults", 0, true,
         "its lock file is not a regular file"},
    };
    int index = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const QString place = folder.filePath(QString::number(index++));
        ASSERT_TRUE(QDir().mkpath(place));
        const QString lockPath = place + "/suite.ini.lock";
        QLockFile held(lockPath);
        if (row.fifoAtLock) {
            ASSERT_EQ(::mkfifo(QFile::encodeName(lockPath).constData(), 0600), 0);
        } else {
            ASSERT_TRUE(held.tryLock(0));
        }
        QProcess writer;
        writer.start(settingsWriterProgram, {place, "suite", "key", "1", row.mode});
        ASSERT_TRUE(writer.waitForStarted(30000));
        ASSERT_TRUE(writer.waitForReadyRead(60000));
        EXPECT_EQ(writer.readAllStandardOutput(),
                  row.mode == QByteArray("quit") ? "quitting\n" : "writing\n");
        if (row.turnMilliseconds >= 0) {
            QThread::msleep(row.turnMilliseconds);
            held.unlock();
        }
        ASSERT_TRUE(writer.waitForFinished(60000));
        held.unlock();
        if (row.fifoAtLock) {
            ASSERT_TRUE(QFile::remove(lockPath));
        }
        const QString said = QString::fromLocal8Bit(writer.readAllStandardError());
        EXPECT_EQ(writer.exitStatus(), QProcess::NormalExit) << said.toStdString();
        EXPECT_EQ(Defaults("suite", place).string("key").value_or("<none>").toStdString(),
                  row.lost ? "<none>" : "1");
        if (row.lost) {
            EXPECT_TRUE(said.contains("quillmere: could not save the user defaults suite (" + *row.lost +
                                      "); the changes not written are lost\n"))
                << said.toStdString();
        } else {
            EXPECT_FALSE(said.contains("could not save")) << said.toStdString();
        }
    }
}

// A suite going while the application runs writes what is pending as it goes; what it cannot write
// then is said on standard error with its reason.
TEST_F(DefaultsTest, ASuiteGoingWithAChangeItCannotWriteSaysSo) {
    const QString config = folder.filePath("config");
    write(config, "");
    const QString capture = folder.filePath("said");
    std::fflush(stderr);
    const int saved = ::dup(2);
    const int into =
        ::open(QFile::encodeName(capture).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(saved, 0);
    ASSERT_GE(into, 0);
    ::dup2(into, 2);
    ::close(into);
    {
        Defaults defaults("suite", config);
        defaults.set("key", QString("value"));
    }
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    EXPECT_EQ(readAll(capture), "quillmere: could not save the user defaults suite (" +
                                    QString::fromLocal8Bit(std::strerror(ENOTDIR)) +
                                    "); the changes not written are lost\n");
}

namespace {
// Runs the writer program to its end, its standard suites in `standard`, and checks that it ended
// in order: what it said on standard error, and what it printed.
void runWriterToItsEnd(const QStringList& arguments, const QString& standard, QString* said,
                       QByteArray* printed) {
    QProcess writer;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", standard);
    writer.setProcessEnvironment(environment);
    writer.start(settingsWriterProgram, arguments);
    ASSERT_TRUE(writer.waitForStarted(30000));
    ASSERT_TRUE(writer.waitForFinished(60000));
    *said = QString::fromLocal8Bit(writer.readAllStandardError());
    *printed = writer.readAllStandardOutput();
    EXPECT_EQ(writer.exitStatus(), QProcess::NormalExit) << said->toStdString();
    EXPECT_EQ(writer.exitCode(), 0) << said->toStdString();
}
} // namespace

// Once the process runs its exit handlers, Qt's own objects may be gone: no settings code writes
// from them. A change still pending as a program calls exit() with its application object alive is
// said, not written; after the application has ended, a change made and written from an exit
// handler is refused as the process ending. Nothing crashes on the way out.
TEST_F(DefaultsTest, NothingIsWrittenFromTheExitHandlers) {
    {
        SCOPED_TRACE("exit() with the application object alive");
        const QString config = folder.filePath("exit");
        ASSERT_TRUE(QDir().mkpath(config));
        QString said;
        QByteArray printed;
        runWriterToItsEnd({config, "suite", "key", "0", "exit"}, config, &said, &printed);
        EXPECT_EQ(QDir(config)
                      .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
                      .join(u' ')
                      .toStdString(),
                  "")
            << "written from an exit handler";
        EXPECT_TRUE(said.contains(
            "(the application ended before it was written); the changes not written are lost\n"))
            << said.toStdString();
    }
    {
        SCOPED_TRACE("a change written from an exit handler after the application ended");
        const QString config = folder.filePath("return");
        ASSERT_TRUE(QDir().mkpath(config));
        QString said;
        QByteArray printed;
        runWriterToItsEnd({config, "suite", "key", "0", "return"}, config + "/standard", &said, &printed);
        EXPECT_EQ(printed, "late change not written (the process is ending)\n");
        EXPECT_EQ(Defaults("suite", config).string("key").value_or("<none>").toStdString(), "1")
            << "the last write, made as the application ended";
    }
}

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

namespace {

// A suite whose writes fail while a file stands where its folder should be, and the times of the
// writes it makes of its own accord (in milliseconds from the start, "written" where one succeeds)
// other than the one made on the next turn after a change.
class FailingWrites {
public:
    explicit FailingWrites(const QString& config) : config_(config) {
        block();
        defaults_.emplace("suite", config_);
        defaults_->setWriteReport([this](const std::optional<QString>& failure) {
            if (!changing_)
                tries_ << QString::number(elapsed()) + (failure ? "" : " written");
        });
    }
    // Written in the end, so that the suite ends with nothing to say.
    ~FailingWrites() { unblock(); }
    FailingWrites(const FailingWrites&) = delete;
    FailingWrites& operator=(const FailingWrites&) = delete;

    void block() {
        QDir(config_).removeRecursively();
        write(config_, "");
    }
    void unblock() { QFile::remove(config_); }
    void change() {
        changing_ = true;
        defaults_->set(QStringLiteral("key%1").arg(++changes_), true);
        nextTurn();
        changing_ = false;
    }
    bool sync() { return defaults_->sync(); }
    void until(int milliseconds) {
        time_.scheduler.advance(milliseconds / 1000.0 - (time_.scheduler.now() - start_));
    }
    // Readable in a failure.
    std::string tries() const { return tries_.join(u' ').toStdString(); }

private:
    qint64 elapsed() const { return qRound64((time_.scheduler.now() - start_) * 1000); }

    QString config_;
    VirtualTime time_;
    double start_ = time_.scheduler.now();
    std::optional<Defaults> defaults_;
    bool changing_ = false;
    int changes_ = 0;
    QStringList tries_;
};

std::string shown(const QStringList& times) {
    return times.join(u' ').toStdString();
}

// From `from` to `to` milliseconds, every `step`.
QStringList every(int from, int step, int to) {
    QStringList times;
    for (int time = from; time <= to; time += step)
        times << QString::number(time);
    return times;
}

} // namespace

// A write that keeps failing (a file where the settings' folder should be) is tried again of its own
// accord after 0.1 s, the wait doubling up to 2 s while it keeps failing, in one chain of tries
// however many changes are made meanwhile (each tried on its next turn as well). A success ends the
// chain, a retry it made needless included, and the next failure starts a new one from 0.1 s again.
TEST_F(DefaultsTest, AFailingWriteIsTriedAgainInOneChainWhoseWaitDoublesAndStartsOverAfterASuccess) {
    const QStringList doubling = {"100", "300", "700", "1500", "3100"};
    {
        SCOPED_TRACE("a write that keeps failing");
        FailingWrites writes(folder.filePath("failing"));
        writes.change();
        writes.until(33000);
        EXPECT_EQ(writes.tries(), shown(doubling + every(5100, 2000, 33000)));
    }
    {
        SCOPED_TRACE("a change every half second while writes fail");
        FailingWrites writes(folder.filePath("changing"));
        for (int time = 0; time <= 10000; time += 500) {
            writes.until(time);
            writes.change();
        }
        writes.until(20000);
        EXPECT_EQ(writes.tries(), shown(doubling + every(5100, 2000, 20000)));
    }
    {
        SCOPED_TRACE("a write made before the retry is due, then failing again");
        FailingWrites writes(folder.filePath("between"));
        writes.change();
        writes.until(50);
        writes.unblock();
        ASSERT_TRUE(writes.sync());
        writes.until(60);
        writes.block();
        writes.change();
        writes.until(20000);
        EXPECT_EQ(writes.tries(),
                  shown(QStringList({"160", "360", "760", "1560", "3160"}) + every(5160, 2000, 20000)));
    }
    {
        SCOPED_TRACE("failing again after a retry succeeded");
        FailingWrites writes(folder.filePath("again"));
        writes.change();
        writes.until(10000);
        writes.unblock();
        writes.until(12000);
        writes.block();
        writes.change();
        writes.until(16000);
        const QStringList afterTheSuccess = {"12100", "12300", "12700", "13500", "15100"};
        EXPECT_EQ(writes.tries(),
                  shown(doubling + every(5100, 2000, 9100) + QStringList{"11100 written"} + afterTheSuccess));
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

namespace {

// Leaves the process only `left` more descriptors (within a lowered limit) while it lives.
class DescriptorsLeft {
public:
    explicit DescriptorsLeft(int left) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 1024);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            held_.push_back(fd);
        for (int i = 0; i < left && !held_.empty(); ++i) {
            ::close(held_.back());
            held_.pop_back();
        }
    }
    ~DescriptorsLeft() {
        for (const int fd : held_)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    DescriptorsLeft(const DescriptorsLeft&) = delete;
    DescriptorsLeft& operator=(const DescriptorsLeft&) = delete;

private:
    rlimit saved_{};
    std::vector<int> held_;
};

// A small file system of the test's own at `place`, while it lives.
struct SmallDisk {
    QByteArray place;
    bool mounted = false;
    explicit SmallDisk(const QString& at) : place(QFile::encodeName(at)) {
        mounted = ::mount("tmpfs", place.constData(), "tmpfs", 0, "size=64k,mode=0700") == 0;
    }
    ~SmallDisk() {
        if (mounted)
            ::umount2(place.constData(), MNT_DETACH);
    }
};

// Fills the file system `folder` is on but for `left` blocks, while it lives.
struct Filled {
    QString name;
    Filled(const QString& folder, int left) : name(folder + "/fill") {
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly))
            return;
        struct statvfs room {};
        while (::statvfs(QFile::encodeName(folder).constData(), &room) == 0 &&
               room.f_bavail > fsblkcnt_t(left)) {
            const QByteArray block(qsizetype(room.f_bsize), 'x');
            if (file.write(block) != block.size() || !file.flush())
                break;
        }
    }
    ~Filled() { QFile::remove(name); }
};

} // namespace

// A write that fails for want of room or of descriptors says the system's reason, whichever step
// ran out (the lock, the file read again, the copy's folder, the copy, Qt's own files, the read
// back), never another cause; and it leaves nothing behind: a copy folder made is removed by the
// same write, whether it could be opened or not. The file is never cut, and the change stays
// pending and is written once there is room again.
TEST_F(DefaultsTest, AWriteOutOfRoomOrDescriptorsSaysSoAndLeavesNothing) {
    enum class Out { room, growth, descriptors };
    struct Row {
        QString what;
        Out out;
        int left = 0;
        QString said = {}; // when the write fails, where not the system's reason
    };
    // Room for a few blocks: the write runs out at the lock, the copy, Qt's own lock (which Qt
    // says as an access error), and Qt's new file, which Qt cuts short without a word: only what
    // was read back tells.
    std::vector<Row> rows = {
        {"a full disk", Out::room, 0},
        {"a full disk but for a block", Out::room, 1},
        {"a full disk but for two blocks", Out::room, 2},
        {"a full disk but for three blocks", Out::room, 3, "what was written did not read back"},
        {"no file may grow", Out::growth}};
    for (int left = 0; left <= 12; ++left)
        rows.push_back({QStringLiteral("%1 descriptors left").arg(left), Out::descriptors, left});
    const std::map<Out, QString> said = {{Out::room, QString::fromLocal8Bit(std::strerror(ENOSPC))},
                                         {Out::growth, QString::fromLocal8Bit(std::strerror(EFBIG))},
                                         {Out::descriptors, QString::fromLocal8Bit(std::strerror(EMFILE))}};
    int index = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what.toStdString());
        const QString place = folder.filePath(QString::number(index++));
        ASSERT_TRUE(QDir().mkpath(place));
        std::optional<SmallDisk> disk;
        if (row.out == Out::room) {
            disk.emplace(place);
            if (!disk->mounted) {
                std::cerr << "row skipped: no small file system can be mounted here\n";
                continue;
            }
        }
        const QString config = place + "/config";
        ASSERT_TRUE(QDir().mkpath(config));
        write(config + "/suite.ini", "[string]\nkept=by hand\n");
        Defaults defaults("suite", config);
        defaults.set("key", QString("new"));
        bool written = false;
        std::optional<QString> failure;
        {
            // Nothing here that needs a descriptor of its own (the sanitizers' checks among them).
            std::optional<Filled> filled;
            std::optional<quillmere::testing::FileSizeLimit> growth;
            std::optional<DescriptorsLeft> descriptors;
            if (row.out == Out::room)
                filled.emplace(place, row.left);
            else if (row.out == Out::growth)
                growth.emplace(0);
            else
                descriptors.emplace(row.left);
            written = defaults.sync();
            failure = defaults.syncFailure();
        }
        if (!written) {
            EXPECT_EQ(failure.value_or("none").toStdString(),
                      (row.said.isEmpty() ? said.at(row.out) : row.said).toStdString());
        }
        EXPECT_EQ(QDir(config)
                      .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
                      .join(' ')
                      .toStdString(),
                  "suite.ini")
            << "a copy folder or lock left behind";
        EXPECT_EQ(Defaults("suite", config).string("kept"), "by hand");
        EXPECT_TRUE(defaults.sync());
        EXPECT_EQ(Defaults("suite", config).string("key"), "new");
    }
}
