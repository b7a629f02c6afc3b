#include "platform/config/Defaults.h"

#include "support/SettingsFiles.h"

#include <QDir>
#include <QHash>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QVariant>
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace quillmere;
using quillmere::testing::settingsWriterProgram;
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

// Qt is handed each file by its descriptor's name under /proc: where /proc is not mounted (a
// container or a chroot without it), a saved file that reads fine is not taken for an empty one,
// and a write with no file yet is not taken for one that did not read back. Either is said as
// what it is.
TEST_F(SettingsFileReadTest, WithoutProcTheSettingsSayWhyTheyCouldNotBeRead) {
    const struct {
        const char* what;
        QByteArray saved; // none: no file yet
    } rows[] = {
        {"a saved file", "[string]\nkey=saved\n"},
        {"no file yet", {}},
    };
    int index = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const QString place = folder.filePath(QString::number(index++));
        ASSERT_TRUE(QDir().mkpath(place));
        if (!row.saved.isEmpty())
            write(place + "/suite.ini", row.saved);
        QProcess writer;
        writer.setChildProcessModifier([] {
            // /proc taken away for this process alone, in a mount namespace of its own.
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::umount2("/proc", MNT_DETACH) != 0)
                ::_exit(77);
        });
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // The sanitizers' leak check reads /proc itself.
        environment.insert("ASAN_OPTIONS", "detect_leaks=0");
        writer.setProcessEnvironment(environment);
        writer.start(settingsWriterProgram, {place, "suite", "key", "1", "defaults"});
        ASSERT_TRUE(writer.waitForStarted(30000));
        ASSERT_TRUE(writer.waitForFinished(60000));
        if (writer.exitCode() == 77)
            GTEST_SKIP() << "no mount namespace to take /proc away in";
        const QString said = QString::fromLocal8Bit(writer.readAllStandardError());
        EXPECT_TRUE(said.contains("write 1 failed after ")) << said.toStdString();
        EXPECT_TRUE(said.contains("(could not be read: /proc is not mounted)\n")) << said.toStdString();
        EXPECT_EQ(Defaults("suite", place).string("key"),
                  row.saved.isEmpty() ? std::nullopt : std::optional<QString>("saved"));
    }
}
