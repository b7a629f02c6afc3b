#pragma once

// The application's real binary run as a person runs it, for the tests that watch it from
// outside: its home, data, configuration, runtime and temporary folders private to the test,
// drawing off screen, on a simulated desktop.

#include "ShellHarness.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <functional>

namespace quillmere::testing {

// Turns the event loop until `done` or `seconds` have passed; whether it is done.
inline bool waitFor(const std::function<bool()>& done, int seconds) {
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < seconds * 1000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

// The application's environment with its home, data, configuration, runtime and temporary folders
// inside `dir`, drawing off screen.
inline QProcessEnvironment privateEnvironment(const QTemporaryDir& dir) {
    for (const char* folder : {"home", "tmp", "data", "config", "runtime"})
        QDir().mkpath(dir.filePath(folder));
    QFile::setPermissions(dir.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("HOME", dir.filePath("home"));
    environment.insert("TMPDIR", dir.filePath("tmp"));
    environment.insert("XDG_DATA_HOME", dir.filePath("data"));
    environment.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    environment.insert("XDG_RUNTIME_DIR", dir.filePath("runtime"));
    return environment;
}

inline QStringList usageLines(const QString& folder) {
    QStringList lines;
    QDirIterator files(folder, {"*.jsonl"}, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (file.open(QIODevice::ReadOnly))
            lines << QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    return lines;
}

// The application's environment inside `dir`, every folder it writes to a private one there, on
// the demo desktop of the ChatGPT listing, with the classification service at `service`.
inline QProcessEnvironment applicationEnvironment(const QTemporaryDir& dir, const QString& service) {
    QProcessEnvironment environment = privateEnvironment(dir);
    QFile desktop(dir.filePath("desktop.json"));
    if (desktop.open(QIODevice::WriteOnly))
        desktop.write(QJsonDocument(chatListingLuna()).toJson());
    desktop.close();
    environment.insert("QUILLMERE_SIMULATED_DESKTOP", desktop.fileName());
    environment.insert("QUILLMERE_CLASSIFICATION_URL", service);
    return environment;
}

// Starts the application in `environment`, its errors on the test's own.
inline bool start(QProcess& app, const QProcessEnvironment& environment) {
    app.setProcessEnvironment(environment);
    app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    app.start(QStringLiteral(QUILLMERE_BINARY_DIR "/quillmere"), QStringList());
    return app.waitForStarted(30000);
}

} // namespace quillmere::testing
