// A second process writing a settings suite, for the tests of writers that share the file: it sets
// one string key `count` times, each value written at once ("1", "2", …), either through Defaults
// or through QSettings on the same file, as another program of the user's would. It waits for a
// start file to appear first, so that two writers started one after the other begin together.
// `hold` sets the key through Defaults without ever asking for a write, says "set" on standard
// output and waits to be killed: the program has no application object, so what reaches the file
// reaches it without an event loop. `lock` takes the lock QSettings takes on the suite's file (`key`
// and `count` unused), says "locked" on standard output and holds it until it is killed. A write
// through Defaults that fails is said on standard error with how long it took; "writing" on standard
// output says the first write is about to be made.
//
// The ends of a program with an application object (`count` unused): `quit` sets the key to "1"
// while the application object exists, says "quitting" and ends it at once (no event loop turn in
// between), so the change is left to the last write as the application ends. `exit` sets the key
// to "1" in the standard suite (the configuration folder taken from XDG_CONFIG_HOME) and calls
// exit() while the application object still exists. `return` sets the key to "1" and returns from
// main, the application object ending on the way; an exit handler registered before anything else
// (so run after every other) then sets the key to "late" and writes it, and says on standard output
// whether it was written.
//
// defaults-writer <folder> <suite> <key> <count> defaults|qsettings|hold|lock|quit|exit|return [start-file]

#include "platform/config/Defaults.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QSettings>
#include <QThread>
#include <cstdio>
#include <cstdlib>

namespace {

// The suite the exit handler of `return` changes, and the key: never destroyed, as the handler runs
// once every static object is gone.
quillmere::Defaults* late = nullptr;
QString lateKey;

void changeLate() {
    late->set(lateKey, QStringLiteral("late"));
    const bool written = late->sync();
    std::printf("late change %s (%s)\n", written ? "written" : "not written",
                late->syncFailure().value_or(QString()).toLocal8Bit().constData());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: defaults-writer <folder> <suite> <key> <count> "
                             "defaults|qsettings|hold|lock|quit|exit|return [start-file]\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const QString suite = QString::fromLocal8Bit(argv[2]);
    const QString key = QString::fromLocal8Bit(argv[3]);
    const int count = QByteArray(argv[4]).toInt();
    const bool throughQSettings = QByteArray(argv[5]) == "qsettings";
    if (argc == 7)
        while (!QFileInfo::exists(QString::fromLocal8Bit(argv[6])))
            QThread::usleep(200);
    int failed = 0;
    if (QByteArray(argv[5]) == "quit") {
        quillmere::Defaults defaults(suite, folder);
        QCoreApplication application(argc, argv);
        defaults.set(key, QStringLiteral("1"));
        std::printf("quitting\n");
        std::fflush(stdout);
        return 0;
    }
    if (QByteArray(argv[5]) == "exit") {
        QCoreApplication application(argc, argv);
        quillmere::Defaults::standard().set(key, QStringLiteral("1"));
        std::exit(0);
    }
    if (QByteArray(argv[5]) == "return") {
        std::atexit(changeLate);
        late = new quillmere::Defaults(suite, folder);
        lateKey = key;
        QCoreApplication application(argc, argv);
        quillmere::Defaults::standard();
        late->set(key, QStringLiteral("1"));
        return 0;
    }
    if (QByteArray(argv[5]) == "hold") {
        quillmere::Defaults defaults(suite, folder);
        for (int i = 1; i <= count; ++i)
            defaults.set(key, QString::number(i));
        std::printf("set\n");
        std::fflush(stdout);
        for (;;)
            QThread::sleep(60);
    }
    if (QByteArray(argv[5]) == "lock") {
        QLockFile lock(QDir(folder).filePath(suite + QStringLiteral(".ini.lock")));
        if (!lock.lock())
            return 1;
        std::printf("locked\n");
        std::fflush(stdout);
        for (;;)
            QThread::sleep(60);
    }
    if (throughQSettings) {
        QSettings settings(QDir(folder).filePath(suite + QStringLiteral(".ini")), QSettings::IniFormat);
        for (int i = 1; i <= count; ++i) {
            settings.setValue(QStringLiteral("string/") + key, QString::number(i));
            settings.sync();
            failed += settings.status() != QSettings::NoError;
        }
    } else {
        quillmere::Defaults defaults(suite, folder);
        std::printf("writing\n");
        std::fflush(stdout);
        for (int i = 1; i <= count; ++i) {
            QElapsedTimer took;
            took.start();
            defaults.set(key, QString::number(i));
            if (!defaults.sync()) {
                ++failed;
                std::fprintf(stderr, "defaults-writer: write %d failed after %lld ms (%s)\n", i,
                             static_cast<long long>(took.elapsed()),
                             defaults.syncFailure().value_or(QString()).toLocal8Bit().constData());
            }
        }
    }
    if (failed)
        std::fprintf(stderr, "defaults-writer: %d of %d writes failed\n", failed, count);
    return failed ? 1 : 0;
}
