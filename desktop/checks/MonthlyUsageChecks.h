#pragma once

// The monthly usage self-check suite (`quillmere --monthly-checks <fixture> <output>`): replays a
// golden request/response fixture through the report check and the report window, then drives a
// real ledger through a fixed story of quota observations. Synthetic data only: nothing is sent,
// no host is read, and every file it writes lies inside the output folder.
//
// How the checks are counted (the count is the code of a failed check):
// - every check below adds one when it passes, in the order it runs: 42 in all on a fixture whose
//   cases are an empty month, a four-row month and a partial month;
// - "actual percent remains visible for every row" runs once per row with a known percent and is
//   not counted when it passes; when it fails its code is the position the next check would take;
// - "invalid episode counts fail closed" tries two bad counts (-1, then 2) and counts once.
//
// The output folder must be new or empty: the run refuses any other before it writes, so that it
// never replaces or deletes what it did not make.

#include "desktop/checks/CheckReporter.h"

#include <QString>
#include <stdexcept>

namespace quillmere::MonthlyUsageChecks {

constexpr int expectedCheckCount = 42;

// A failed check: the suite's name, the check's position and its sentence.
class CheckError : public std::runtime_error {
public:
    CheckError(int code, const QString& sentence);
    int code() const { return code_; }
    const QString& sentence() const { return sentence_; }
    // "Error Domain=MonthlyUsageChecks Code=<n> \"<sentence>\"".
    QString description() const;

private:
    int code_;
    QString sentence_;
};

// Runs every check; `report` hears each counted check (and a failed uncounted one). Returns the
// number of checks passed. Throws CheckError at the first failure and std::runtime_error for an
// output folder that is not empty, and passes up unchanged the errors of reading the fixture, of
// JSON and of the ledger that the suite does not expect. Needs a QApplication (it builds and
// captures the report window).
int run(const QString& fixture, const QString& output, const checks::Reporter& report = {});

// The command-line mode: creates the application object when there is none, runs the suite,
// prints "Monthly usage checks: <n>/<n> passed" and returns 0, or prints "Monthly usage check
// failed: " and the error on standard error and returns 1.
int runFromCommandLine(int argc, char** argv);

} // namespace quillmere::MonthlyUsageChecks
