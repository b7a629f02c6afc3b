#include "desktop/diagnostics/WriteFailures.h"

#include "desktop/diagnostics/DebugMonitor.h"

#include <QTemporaryDir>
#include <cstdio>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

const QDateTime kT0 = QDateTime::fromSecsSinceEpoch(1800000000, Qt::UTC);

// A record of its own, reporting to a monitor of its own and into a stream the test reads back.
class WriteFailuresTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        stream = std::tmpfile();
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override { std::fclose(stream); }

    QString written() {
        std::fflush(stream);
        std::rewind(stream);
        QByteArray bytes;
        char buffer[512];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, stream))
            bytes.append(buffer, qsizetype(n));
        return QString::fromUtf8(bytes);
    }

    QTemporaryDir dir;
    std::FILE* stream = nullptr;
    DebugMonitor monitor{dir.path()};
};

} // namespace

// Each file's failure is said once, on standard error and as a debug event, until a write of the
// same file succeeds again; failing again after that is news again.
TEST_F(WriteFailuresTest, EachFileSaysOnceWhatIsNews) {
    WriteFailures record(&monitor, stream);
    EXPECT_FALSE(record.succeeded("usage ledger")) << "nothing to resolve";
    EXPECT_TRUE(record.failed("conversation memory", "No space left on device", "com.openai.chat"));
    EXPECT_FALSE(record.failed("conversation memory", "No space left on device", "com.openai.chat"));
    EXPECT_TRUE(record.failed("conversation memory", "No space left on device", "com.anthropic.claude"))
        << "another host's file";
    EXPECT_TRUE(record.failed("usage ledger", "Read-only file system"));
    ASSERT_EQ(record.failures().size(), 3);
    EXPECT_EQ(record.failures()[0].failedAttempts, 2);
    EXPECT_EQ(written().count("could not save"), 3);
    EXPECT_EQ(monitor.events().filter("Could not save").size(), 3);

    EXPECT_TRUE(record.succeeded("conversation memory", "com.openai.chat"));
    EXPECT_FALSE(record.succeeded("conversation memory", "com.openai.chat"));
    EXPECT_TRUE(record.failed("conversation memory", "Disk quota exceeded", "com.openai.chat"));
    EXPECT_EQ(record.failures()[0].failedAttempts, 1);
    EXPECT_EQ(record.failures()[0].error, "Disk quota exceeded");
    EXPECT_FALSE(record.failures()[0].writtenAgain);
    EXPECT_EQ(written().count("could not save"), 4);
}

// What is said names the kind of file and the system's error, never a path or what the file holds;
// the event line belongs to the host whose file it is, or to the application. Trying again later is
// promised only for a file whose owner does that (the conversation memory), not for the others.
TEST_F(WriteFailuresTest, TheReportNamesTheKindAndTheErrorOnly) {
    WriteFailures record(&monitor, stream);
    record.failed("conversation memory", "No space left on device", "com.openai.chat",
                  WriteFailures::Retry::later);
    record.failed("usage ledger", "Read-only file system");
    EXPECT_EQ(written(), "quillmere: could not save the conversation memory (No space left on device); it is "
                         "tried again later\nquillmere: could not save the usage ledger (Read-only file "
                         "system)\n");
    ASSERT_EQ(monitor.events().size(), 2);
    EXPECT_TRUE(monitor.events()[0].endsWith(
        "  [com.openai.chat]  Could not save the conversation memory: No space left on device"));
    EXPECT_TRUE(monitor.events()[1].endsWith("]  Could not save the usage ledger: Read-only file system"));
    EXPECT_FALSE(monitor.events()[1].contains("[]"));
}

// Settings the application may not use where they are: said once for the run, the same way, with
// what the application does instead; said again by nothing, not even by a failed write.
TEST_F(WriteFailuresTest, ARefusedFileIsSaidOnceByItsKindAndReason) {
    WriteFailures record(&monitor, stream);
    EXPECT_TRUE(record.refused("user defaults", "not a regular file", "running on the built-in defaults"));
    EXPECT_FALSE(record.refused("user defaults", "not a regular file", "running on the built-in defaults"));
    EXPECT_TRUE(
        record.refused("connector user defaults", "not a regular file", "running on the built-in defaults"));
    EXPECT_EQ(written(),
              "quillmere: did not use the user defaults (not a regular file); running on the built-in "
              "defaults\nquillmere: did not use the connector user defaults (not a regular file); "
              "running on the built-in defaults\n");
    ASSERT_EQ(monitor.events().size(), 2);
    EXPECT_TRUE(monitor.events()[0].endsWith("]  Did not use the user defaults: not a regular file"));
    EXPECT_TRUE(record.failures().isEmpty());
}

TEST_F(WriteFailuresTest, TheRecordIsBounded) {
    WriteFailures record(&monitor, stream);
    for (int i = 0; i < WriteFailures::failureLimit + 5; ++i)
        record.failed(QStringLiteral("file %1").arg(i), "No space left on device");
    ASSERT_EQ(record.failures().size(), WriteFailures::failureLimit);
    EXPECT_EQ(record.failures().front().kind, "file 5");
}

// The debug report's lines are fixed: a failed write shows among the recent events, and adds no
// section of its own.
TEST_F(WriteFailuresTest, TheDebugReportShowsThemAmongTheEventsOnly) {
    WriteFailures record(&monitor, stream);
    const QString plain = monitor.report(kT0);
    record.failed("conversation memory", "No space left on device", "com.anthropic.claude");
    const QString report = monitor.report(kT0);
    EXPECT_FALSE(report.contains("COULD NOT BE SAVED"));
    const QStringList lines = report.split('\n');
    const QStringList before = plain.split('\n');
    ASSERT_EQ(lines.size(), before.size() + 1);
    EXPECT_EQ(lines.mid(0, before.size()), before);
    EXPECT_TRUE(lines.back().endsWith("Could not save the conversation memory: No space left on device"));
}
