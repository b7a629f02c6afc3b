#include "platform/config/Defaults.h"

#include <QDateTime>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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
