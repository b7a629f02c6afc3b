#include "platform/config/Defaults.h"

#include "platform/files/OwnedPath.h"
#include "support/FifoGuard.h"
#include "support/ForeignFolder.h"
#include "support/PermissionsHold.h"
#include "support/PlantedFiles.h"

#include <QDateTime>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;

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
