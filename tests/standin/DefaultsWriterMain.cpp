// A second process writing a settings suite, for the tests of writers that share the file: it sets
// one string key `count` times, each value written at once ("1", "2", …), either through Defaults
// or through QSettings on the same file, as another program of the user's would. It waits for a
// start file to appear first, so that two writers started one after the other begin together.
// `hold` sets the key through Defaults without ever asking for a write, says "set" on standard
// output and waits to be killed: the program has no application object, so what reaches the file
// reaches it without an event loop. `lock` takes the lock QSettings takes on the suite's file (`key`
// and `count` unused), says "locked" on standard output and holds it until it is killed. A write
// through Defaults that fails is said on standard error with how long it took.
//
// defaults-writer <folder> <suite> <key> <count> defaults|qsettings|hold|lock [start-file]

#include "platform/config/Defaults.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QSettings>
#include <QThread>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr,
                     "usage: defaults-writer <folder> <suite> <key> <count> defaults|qsettings|hold|lock "
                     "[start-file]\n");
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
