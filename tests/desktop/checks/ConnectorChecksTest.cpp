#include "desktop/checks/ConnectorChecks.h"
#include "desktop/checks/ConnectorCardChecks.h"
#include "desktop/connector/ConnectorRecords.h"
#include "platform/tasks/Task.h"
#include "support/ConnectorStandIn.h"
#include "support/FileInTheWay.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::testing;

namespace {

struct Outcome {
    int count = 0;
    QString failure; // the error's description; empty on success
};

Outcome runHttpSuite(const QByteArray& fixture, const QString& output) {
    QTemporaryDir folder;
    const QString fixturePath = folder.filePath(QStringLiteral("fixture.json"));
    QFile file(fixturePath);
    file.open(QIODevice::WriteOnly);
    file.write(fixture);
    file.close();
    Outcome outcome;
    bool done = false;
    spawn(QStringLiteral("connector checks test"), [&]() -> QCoro::Task<void> {
        try {
            outcome.count = co_await ConnectorChecks::run(fixturePath, output);
        } catch (const std::exception& error) {
            outcome.failure = QString::fromUtf8(error.what());
        }
        done = true;
    });
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_TRUE(done);
    return outcome;
}

} // namespace

TEST(ConnectorCardChecks, EveryCheckPasses) {
    QTemporaryDir output;
    checks::CheckLog log;
    EXPECT_EQ(ConnectorCardChecks::run(output.filePath(QStringLiteral("out")), log.reporter()), 26);
    EXPECT_TRUE(log.failures().isEmpty()) << log.failures().join('\n').toStdString();
    EXPECT_EQ(log.count(), 26);
    for (const char* name : {"compact.png", "more-info.png", "preview-panel.png", "checks.json"})
        EXPECT_GT(QFileInfo(output.filePath(QStringLiteral("out/")) + name).size(), 0) << name;
}

// The command-line mode's failure goes to standard error, as its status 1 does to the caller;
// standard output stays for the checks' own lines.
TEST(ConnectorCardChecks, AFailedRunSaysSoOnStandardError) {
    QTemporaryDir folder;
    ASSERT_TRUE(quillmere::testing::fileInTheWay(folder.filePath(QStringLiteral("file"))));
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = ConnectorCardChecks::runFromCommandLine(folder.filePath(QStringLiteral("file/out")));
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(err.ends_with("\nConnector card checks failed.\n")) << err;
}

TEST(ConnectorChecks, PassesAgainstTheStandInService) {
    ConnectorStandIn service;
    QTemporaryDir output;
    Outcome outcome = runHttpSuite(service.fixture(true), output.path());
    EXPECT_EQ(outcome.failure, QString());
    EXPECT_EQ(outcome.count, 27);
    EXPECT_TRUE(service.deviceRevoked());
    EXPECT_FALSE(QFile::exists(output.filePath(QStringLiteral("synthetic-device.json"))));
    EXPECT_GT(QFileInfo(output.filePath(QStringLiteral("native-widget-synthetic.png"))).size(), 0);
    EXPECT_TRUE(QFile::exists(output.filePath(QStringLiteral("native-http-checks.json"))));

    ConnectorStandIn plain;
    EXPECT_EQ(runHttpSuite(plain.fixture(false), output.path()).count, 26);
}

TEST(ConnectorChecks, ARefusedOriginEndsTheRunBeforeAnyRequest) {
    ConnectorStandIn service;
    QTemporaryDir output;
    QByteArray fixture = service.fixture();
    fixture.replace(service.origin().toUtf8(),
                    "http://localhost:" + QByteArray::number(service.origin().section(':', 2).toInt()));
    const Outcome outcome = runHttpSuite(fixture, output.path());
    EXPECT_EQ(outcome.failure, QStringLiteral("invalidOrigin"));
    EXPECT_EQ(service.claims(), 0);
    EXPECT_FALSE(
        runHttpSuite("{\"origin\":\"http://127.0.0.1:18888\",\"pairing_code\":\"x\",\"wait_seconds\":2.5}",
                     output.path())
            .failure.isEmpty());
}

TEST(ConnectorChecks, AFailureAfterTheClaimRevokesTheDeviceAndRemovesItsFile) {
    QTemporaryDir output;
    {
        ConnectorStandIn silent;
        silent.neverDeliver = true;
        const Outcome outcome = runHttpSuite(silent.fixture(true, 1), output.path()); // 10 empty answers
        EXPECT_EQ(outcome.failure, QStringLiteral("invalidResponse"));
        EXPECT_TRUE(silent.deviceRevoked());
        EXPECT_FALSE(QFile::exists(output.filePath(QStringLiteral("synthetic-device.json"))));
    }
    {
        ConnectorStandIn leaky;
        leaky.keepTokenAfterRevoke = true;
        const Outcome outcome = runHttpSuite(leaky.fixture(), output.path());
        EXPECT_EQ(outcome.failure, QStringLiteral("invalidResponse"));
        EXPECT_FALSE(QFile::exists(output.filePath(QStringLiteral("synthetic-device.json"))));
    }
    {
        ConnectorStandIn refusing;
        refusing.refuseClaim = true;
        EXPECT_EQ(runHttpSuite(refusing.fixture(), output.path()).failure, QStringLiteral("unauthorized"));
    }
}
