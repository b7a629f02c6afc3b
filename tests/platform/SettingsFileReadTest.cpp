#include "platform/config/Defaults.h"

#include "support/SettingsFiles.h"

#include <QHash>
#include <QSettings>
#include <QTemporaryDir>
#include <QVariant>
#include <gtest/gtest.h>

using namespace quillmere;
using quillmere::testing::write;

namespace {
// Reading a settings file through Qt's INI code, by the name of the descriptor it was judged through.
class SettingsFileReadTest : public ::testing::Test {
protected:
    QTemporaryDir folder;
};
} // namespace

// Files edited by hand read as QSettings reads them, and what the suite does not understand (a
// list, a typed value, another section) is kept as it was when the suite writes the file.
TEST_F(SettingsFileReadTest, HandWrittenFilesReadAsQSettingsReadsThem) {
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
