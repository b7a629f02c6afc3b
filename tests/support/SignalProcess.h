#pragma once

// Signals the program a QProcess runs. A program that has already ended has no process id left,
// and kill(0) would signal the whole process group: the test itself and the runner that started it.

#include <QProcess>
#include <csignal>
#include <sys/types.h>

namespace quillmere::testing {

inline bool signalProcess(const QProcess& process, int signal) {
    const qint64 pid = process.processId();
    return pid > 0 && ::kill(pid_t(pid), signal) == 0;
}

} // namespace quillmere::testing
