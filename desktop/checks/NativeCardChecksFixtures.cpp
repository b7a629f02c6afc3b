#include "desktop/checks/NativeCardChecksFixtures.h"

#include <QDir>
#include <QFile>
#include <QUuid>

namespace quillmere::NativeCardChecks {

TemporaryDirectory::TemporaryDirectory(const QString& outputDirectory) {
    const QString name =
        QStringLiteral("wire-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    path_ = QDir(outputDirectory).filePath(name);
    if (!QDir().mkpath(path_))
        throw RunError(QStringLiteral("could not create the temporary folder ") + path_);
}

TemporaryDirectory::~TemporaryDirectory() {
    // Errors while cleaning up are ignored: the run's outcome is already decided.
    QDir(path_).removeRecursively();
}

QString TemporaryDirectory::filePath(const QString& name) const {
    return QDir(path_).filePath(name);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw RunError(QStringLiteral("could not read ") + path + QStringLiteral(": ") + file.errorString());
    return file.readAll();
}

std::vector<ClaudeWindowTrackerConversationMessage> messagePairs(int first, int last) {
    std::vector<ClaudeWindowTrackerConversationMessage> messages;
    for (int n = first; n <= last; ++n) {
        messages.push_back({QStringLiteral("user"), QStringLiteral("User request ") + QString::number(n)});
        messages.push_back(
            {QStringLiteral("assistant"), QStringLiteral("Assistant response ") + QString::number(n)});
    }
    return messages;
}

} // namespace quillmere::NativeCardChecks
