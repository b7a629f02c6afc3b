#pragma once

// What the settings tests share: files written and aged by hand, the event loop's next turn, the
// writer program run beside a test, and virtual time for the writes tried again.

#include "platform/tasks/Scheduler.h"

#include <QCoreApplication>
#include <QFile>
#include <QString>
#include <gtest/gtest.h>

#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

namespace quillmere::testing {

// A program that sets keys through a suite or through QSettings, as another process would.
inline const QString settingsWriterProgram = QStringLiteral(QUILLMERE_BINARY_DIR "/defaults-writer");

// Lets the writes posted to the event loop run.
inline void nextTurn() {
    QCoreApplication::sendPostedEvents();
}

inline mode_t modeOf(const QString& path) {
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : 07777;
}

inline void write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

inline QString readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Sets the file's or folder's modification time `seconds` back.
inline bool age(const QString& path, int seconds) {
    const std::time_t then = std::time(nullptr) - seconds;
    const struct timespec times[2] = {{then, 0}, {then, 0}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

// Virtual time for the writes tried again, for one test.
class VirtualTime {
public:
    VirtualTime() { Scheduler::setCurrent(&scheduler); }
    ~VirtualTime() { Scheduler::setCurrent(nullptr); }
    VirtualScheduler scheduler;
};

} // namespace quillmere::testing
