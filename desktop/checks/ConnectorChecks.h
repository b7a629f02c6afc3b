#pragma once

// The connector HTTP check suite: the connector's real transport against a connector service on
// this machine serving a synthetic account, from the pairing claim to the device revocation.
// It never touches the keychain and never reads a host application.

#include <QCoroTask>
#include <QString>
#include <stdexcept>

namespace quillmere {

namespace ConnectorChecks {

// A failed check: domain "ConnectorChecks", code 1, the check's sentence as its description.
struct Failure : std::runtime_error {
    explicit Failure(const QString& sentence) : std::runtime_error(sentence.toStdString()) {}
    static constexpr const char* domain = "ConnectorChecks";
    static constexpr int code = 1;
};

// Runs on the main thread inside one task; throws on the first failure (a Failure, a
// ConnectorFailure, a DecodingError, a TransportError or a file error). Returns the number of
// checks passed (26, or 27 when the fixture names an expected policy source).
QCoro::Task<int> run(QString fixturePath, QString outputPath);

// The command-line mode: runs the suite on the event loop and returns the exit status.
int runFromCommandLine(const QString& fixturePath, const QString& outputPath);

} // namespace ConnectorChecks

} // namespace quillmere
