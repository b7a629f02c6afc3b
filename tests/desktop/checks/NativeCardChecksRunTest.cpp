// The card suite as a whole: its frame (how a run ends), the contrast rule, and the real command
// run end to end on a fresh folder.

#include "desktop/checks/NativeCardChecksRun.h"
#include "desktop/card/RailViewController.h"
#include "desktop/checks/NativeCardChecks.h"
#include "desktop/checks/NativeCardChecksCapture.h"
#include "desktop/checks/NativeCardChecksCardFixtures.h"
#include "support/FileInTheWay.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <vector>

using namespace quillmere;
using namespace quillmere::NativeCardChecks;

namespace {

const QString kBinary = QStringLiteral(QUILLMERE_BINARY_DIR "/quillmere");
// What the groups of a run add up to: the card groups (536 lines, the use probe's two included) and
// the four sub-suites they run (Claude availability 49, sent-message tree 105, Codex archive 16,
// Claude Code archive 15).
constexpr int minimumChecks = 536 + 49 + 105 + 16 + 15;

QStringList wireTestFolders(const QString& output) {
    return QDir(output).entryList({"wire-test-*"}, QDir::Dirs | QDir::NoDotAndDotDot);
}

struct Outcome {
    bool passed = false;
    std::string out;
    std::string err;
};

Outcome framed(const QString& output, const std::function<void(const checks::Reporter&)>& groups) {
    Outcome outcome;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    try {
        outcome.passed = runFramed(
            output, [](const checks::Reporter& check) { check(true, "before"); },
            [&groups](const checks::Reporter& check, const TemporaryDirectory& temporary) {
                EXPECT_TRUE(QFileInfo(temporary.path()).isDir());
                groups(check);
            });
    } catch (...) {
        outcome.out = ::testing::internal::GetCapturedStdout();
        outcome.err = ::testing::internal::GetCapturedStderr();
        throw;
    }
    outcome.out = ::testing::internal::GetCapturedStdout();
    outcome.err = ::testing::internal::GetCapturedStderr();
    return outcome;
}

} // namespace

TEST(NativeCardChecksRun, PassesCountAndTheSummaryComesLast) {
    QTemporaryDir parent;
    const QString output = parent.filePath("new/output");
    const Outcome outcome = framed(output, [](const checks::Reporter& check) { check(true, "second"); });
    EXPECT_TRUE(outcome.passed);
    EXPECT_EQ(outcome.out, "PASS: before\nPASS: second\nNative card checks: 2/2 passed\n");
    EXPECT_EQ(outcome.err, "");
    // The missing output folder was made, and the temporary folder is gone again.
    EXPECT_TRUE(QFileInfo(output).isDir());
    EXPECT_TRUE(wireTestFolders(output).isEmpty());
}

TEST(NativeCardChecksRun, FirstFailureStopsWithoutSummaryAndCleansUp) {
    QTemporaryDir output;
    bool reachedAfterFailure = false;
    const Outcome outcome = framed(output.path(), [&](const checks::Reporter& check) {
        check(false, "the broken one");
        reachedAfterFailure = true;
    });
    EXPECT_FALSE(outcome.passed);
    EXPECT_FALSE(reachedAfterFailure);
    EXPECT_EQ(outcome.out, "PASS: before\n");
    EXPECT_EQ(outcome.err, "FAIL: the broken one\n");
    EXPECT_TRUE(wireTestFolders(output.path()).isEmpty());
}

TEST(NativeCardChecksRun, SwallowedFailureStillFailsTheRun) {
    QTemporaryDir output;
    const Outcome outcome = framed(output.path(), [](const checks::Reporter& check) {
        // Something between the check and the run that catches everything.
        try {
            check(false, "swallowed");
        } catch (...) {
        }
        try {
            check(true, "after the failure");
        } catch (...) {
        }
    });
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(outcome.out, "PASS: before\n");
    EXPECT_EQ(outcome.err, "FAIL: swallowed\n");
}

TEST(NativeCardChecksRun, AnErrorLeavesTheRunAfterCleaningUp) {
    QTemporaryDir output;
    EXPECT_THROW(framed(output.path(), [](const checks::Reporter&) { throw RunError("fixture"); }), RunError);
    EXPECT_TRUE(wireTestFolders(output.path()).isEmpty());
}

TEST(NativeCardChecksContrast, RatiosOfKnownPairs) {
    EXPECT_DOUBLE_EQ(contrastRatio(Qt::white, Qt::black), 21.0);
    EXPECT_DOUBLE_EQ(contrastRatio(Qt::black, Qt::white), 21.0);
    EXPECT_DOUBLE_EQ(contrastRatio(QColor(10, 20, 30), QColor(10, 20, 30)), 1.0);
    // White on the card's button blue is close to the 4.5 bound.
    EXPECT_EQ(contrastSentence(contrastRatio(Qt::white, QColor(65, 105, 245))),
              "native palette contrast 4.60:1");
    EXPECT_EQ(contrastSentence(4.5), "native palette contrast 4.50:1");
    EXPECT_NEAR(luminance(QColor(128, 128, 128)), 0.2158605, 1e-6);
}

// The command as a person runs it, on a folder that does not exist yet.
TEST(NativeCardChecksBinary, RunsEveryCheckAndWritesTheCaptures) {
    QTemporaryDir parent;
    const QString output = parent.filePath("ui-checks");
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("HOME", parent.path());
    process.setProcessEnvironment(environment);
    process.start(kBinary, {"--ui-checks", output});
    ASSERT_TRUE(process.waitForFinished(540000));
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    const QString err = QString::fromUtf8(process.readAllStandardError());
    ASSERT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0) << err.toStdString();
    EXPECT_FALSE(err.contains("FAIL: ")) << err.toStdString();

    const QStringList lines = out.split('\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    const auto summary =
        QRegularExpression(QRegularExpression::anchoredPattern(u"Native card checks: (\\d+)/(\\d+) passed"))
            .match(lines.last());
    ASSERT_TRUE(summary.hasMatch()) << lines.last().toStdString();
    const int n = summary.captured(1).toInt();
    EXPECT_EQ(summary.captured(2).toInt(), n);
    EXPECT_EQ(lines.filter(QRegularExpression("^PASS: ")).size(), n);
    EXPECT_EQ(lines.size(), n + 1) << "every line but the summary is a pass";
    EXPECT_GE(n, minimumChecks);
    EXPECT_TRUE(lines.contains("PASS: claude cadence: continuation turn 7 skipped"));
    EXPECT_TRUE(lines.contains("PASS: native palette contrast 4.60:1"));
    // The use probe reports on each of its two calls.
    EXPECT_EQ(lines.count("PASS: action captures both model and effort"), 2);

    // Each capture is a PNG of the width its group gives and no taller than its limit.
    EXPECT_EQ(captures().size(), 40u);
    for (const Capture& capture : captures()) {
        const QString path = QDir(output).filePath(capture.name + ".png");
        QImageReader reader(path, "png");
        const QSize size = reader.size();
        EXPECT_TRUE(reader.canRead()) << path.toStdString();
        EXPECT_EQ(size.width(), capture.width) << path.toStdString();
        EXPECT_GT(size.height(), 0) << path.toStdString();
        EXPECT_LE(size.height(), capture.maxHeight) << path.toStdString();
        EXPECT_FALSE(reader.read().isNull()) << path.toStdString();
    }
    EXPECT_EQ(QDir(output).entryList({"*.png"}, QDir::Files).size(), qsizetype(captures().size()));
    EXPECT_TRUE(wireTestFolders(output).isEmpty());

    // Each capture shows the state its group set up: no two captures of different states have the
    // same bytes. Two states are captured twice each: the compact card at 310 with its full
    // explanation, and the compact card showing Sonnet (the separate-cards group collapses it, and
    // the close action captures it as the collapse of the logs left it).
    const std::vector<QSet<QString>> sameStates = {{"two-line-default", "compact-full-explanation"},
                                                   {"collapsed", "normal"}};
    const auto sameState = [&](const QString& a, const QString& b) {
        return std::any_of(sameStates.begin(), sameStates.end(), [&](const QSet<QString>& state) {
            return state.contains(a) && state.contains(b);
        });
    };
    std::map<QByteArray, QString> byContent;
    for (const Capture& capture : captures()) {
        QFile file(QDir(output).filePath(capture.name + ".png"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << capture.name.toStdString();
        const QByteArray digest = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
        const auto [found, added] = byContent.emplace(digest, capture.name);
        if (!added) {
            EXPECT_TRUE(sameState(found->second, capture.name))
                << capture.name.toStdString() << " is byte-identical to " << found->second.toStdString();
        }
    }

    // The last capture shows Sonnet on the card as the close action left it: compact, at the
    // compact card's height, not opened for the capture.
    RailViewController sonnet;
    sonnet.show(cardFixtures::switchToSonnet());
    ASSERT_TRUE(sonnet.minimizedForTesting());
    const double compact = sonnet.preferredHeight(310);
    sonnet.toggleExpanded();
    const double opened = sonnet.preferredHeight(310);
    ASSERT_LT(compact, opened);
    EXPECT_EQ(QImageReader(QDir(output).filePath("normal.png"), "png").size().height(), int(compact));
}

TEST(NativeCardChecksBinary, AnOutputFolderThatCannotBeMadeFailsTheRun) {
    QTemporaryDir parent;
    ASSERT_TRUE(quillmere::testing::fileInTheWay(parent.filePath("file")));
    QProcess process;
    process.start(kBinary, {"--ui-checks", parent.filePath("file/output")});
    ASSERT_TRUE(process.waitForFinished(540000));
    EXPECT_EQ(process.exitCode(), 1);
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    EXPECT_TRUE(out.contains("Native UI check failed: ")) << out.toStdString();
    EXPECT_FALSE(out.contains("Native card checks: "));
}
