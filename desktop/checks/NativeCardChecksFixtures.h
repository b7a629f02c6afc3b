#pragma once

// What the card check groups share: the run's temporary folder, file reading that ends the run on
// failure, and the synthetic conversations.

#include "desktop/observation/ConversationSnapshot.h"

#include <QByteArray>
#include <QString>
#include <stdexcept>
#include <vector>

namespace quillmere::NativeCardChecks {

// An error that ends the run: a file that cannot be created or read, a JSON round trip that fails.
struct RunError : std::runtime_error {
    explicit RunError(const QString& description) : std::runtime_error(description.toStdString()) {}
};

// "wire-test-" and a fresh upper-case UUID inside the output folder, created with its parents
// (the output folder included) and removed, with everything in it, when the value goes away.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const QString& outputDirectory);
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const QString& path() const { return path_; }
    QString filePath(const QString& name) const;

private:
    QString path_;
};

// The whole file; throws RunError when it cannot be read.
QByteArray readFile(const QString& path);

// For each n in [first, last]: a user message "User request n" and an assistant message
// "Assistant response n".
std::vector<ClaudeWindowTrackerConversationMessage> messagePairs(int first, int last);

} // namespace quillmere::NativeCardChecks
