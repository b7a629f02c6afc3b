#include "platform/config/Defaults.h"

#include "support/SettingsFiles.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QVariant>
#include <gtest/gtest.h>

#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
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

// Gives the file at `path` the modification time `seconds` and `nanoseconds`.
bool stamp(const QString& path, std::time_t seconds, long nanoseconds) {
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

std::string shown(const std::optional<QString>& value) {
    return value ? value->toStdString() : std::string("<none>");
}

qsizetype openDescriptors() {
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
        .size();
}
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

// Qt keeps what it parsed under the name it read, and trusts it while the size and the modification
// time to the millisecond are the same; the file is handed to it by its descriptor's name, and the
// next file opened takes the same number again. Settings files of the same size modified within the
// same millisecond (written together by a script, or restored from a backup), read one after
// another, each read their own keys: whatever the order, however many of them, and however little
// (below the millisecond) their times differ.
TEST_F(SettingsFileReadTest, FilesAlikeInSizeAndTimeEachReadTheirOwnKeys) {
    const std::time_t second = std::time(nullptr) - 600;
    const struct {
        const char* what;
        long nanoseconds[3];
        const char* order;
    } rows[] = {
        {"two files of the same nanosecond", {100000000, 100000000, 100000000}, "ababba"},
        {"three files of the same nanosecond", {100000000, 100000000, 100000000}, "abcabccba"},
        {"the same millisecond, another microsecond", {100000000, 100500000, 100999000}, "abcabccba"},
        {"the same microsecond, another nanosecond", {100000000, 100000001, 100000999}, "abcabccba"},
    };
    int index = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const QString place = folder.filePath(QString::number(index++));
        ASSERT_TRUE(QDir().mkpath(place));
        for (int i = 0; i < 3; ++i) {
            const QString file = place + u'/' + QChar(u'a' + i) + ".ini";
            write(file, "[string]\nkey=" + QByteArray(4, char('a' + i)) + '\n');
            ASSERT_TRUE(stamp(file, second, row.nanoseconds[i]));
        }
        for (const char* read = row.order; *read; ++read) {
            SCOPED_TRACE(std::string("read ") + *read + " of " + row.order);
            EXPECT_EQ(shown(Defaults(QString(QChar(*read)), place).string("key")), std::string(4, *read));
        }
    }
}

// Reading another file's keys is kept from by reading through another descriptor number where the
// file's own would show them: that descriptor is closed again once read, however many reads there are.
TEST_F(SettingsFileReadTest, ReadsLeaveNoDescriptorOpen) {
    const std::time_t second = std::time(nullptr) - 600;
    for (const char name : {'a', 'b'}) {
        const QString file = folder.filePath(QString(QChar(name)) + ".ini");
        write(file, "[string]\nkey=" + QByteArray(4, name) + '\n');
        ASSERT_TRUE(stamp(file, second, 0));
    }
    EXPECT_EQ(shown(Defaults("a", folder.path()).string("key")), "aaaa");
    const qsizetype before = openDescriptors();
    for (int read = 0; read < 20; ++read) {
        const char name = read % 2 ? 'a' : 'b';
        EXPECT_EQ(shown(Defaults(QString(QChar(name)), folder.path()).string("key")), std::string(4, name));
    }
    EXPECT_EQ(openDescriptors(), before);
}
