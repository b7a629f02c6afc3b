#pragma once

// The reporter every self-check suite reports through: a function of a condition and a sentence.
// A suite calls it once per check, in order, with the check's exact sentence.

#include <QString>
#include <QStringList>
#include <functional>
#include <stdexcept>
#include <vector>

namespace quillmere::checks {

using Reporter = std::function<void(bool condition, const QString& sentence)>;

// Thrown by the command-line reporter to end a run at its first failed check.
struct CheckFailed : std::runtime_error {
    explicit CheckFailed(const QString& sentence) : std::runtime_error(sentence.toStdString()) {}
};

// The command-line reporter: a pass adds one to the shared counter and prints "PASS: " and the
// sentence on standard output; a failure writes "FAIL: ", the sentence and a line feed on
// standard error and ends the run by throwing CheckFailed.
class PassCounter {
public:
    Reporter reporter();
    int passed() const { return passed_; }

private:
    int passed_ = 0;
};

// Collects every result without stopping, so a test can name all failed checks at once.
class CheckLog {
public:
    Reporter reporter();
    int count() const { return int(results_.size()); }
    QStringList failures() const;
    QStringList sentences() const;

private:
    std::vector<std::pair<bool, QString>> results_;
};

} // namespace quillmere::checks
