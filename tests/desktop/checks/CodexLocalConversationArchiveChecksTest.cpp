#include "desktop/checks/CodexLocalConversationArchiveChecks.h"
#include "desktop/checks/CheckReporter.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

QStringList leftIn(const QTemporaryDir& folder) {
    return QDir(folder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

} // namespace

TEST(CodexLocalConversationArchiveChecks, EveryCheckPassesAndTheFixtureIsRemoved) {
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    checks::CheckLog log;
    CodexLocalConversationArchiveChecks::run(log.reporter(), temporary.path());
    EXPECT_TRUE(log.failures().isEmpty()) << "failed checks:\n" << log.failures().join('\n').toStdString();
    // Seventeen checks, of which the first (the fixture opens) reports only when it fails.
    EXPECT_EQ(log.count(), 16);
    EXPECT_FALSE(log.sentences().contains("Codex archive fixture databases open"));
    EXPECT_EQ(log.sentences().value(0),
              "Codex local archive recovers complete ordered user and AI history with durable positions");
    EXPECT_EQ(log.sentences().value(15), "Codex local archive rejects ambiguous duplicate task titles");
    EXPECT_TRUE(leftIn(temporary).isEmpty());
}

// A failed check ends a command-line run by throwing; the fixture folder goes all the same.
TEST(CodexLocalConversationArchiveChecks, AThrowingReporterStillRemovesTheFixture) {
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    int reported = 0;
    const checks::Reporter stopAtThird = [&](bool, const QString& sentence) {
        if (++reported == 3)
            throw checks::CheckFailed(sentence);
    };
    EXPECT_THROW(CodexLocalConversationArchiveChecks::run(stopAtThird, temporary.path()),
                 checks::CheckFailed);
    EXPECT_EQ(reported, 3);
    EXPECT_TRUE(leftIn(temporary).isEmpty());
}

// Without a folder to build the fixture in, the run says so once and stops.
TEST(CodexLocalConversationArchiveChecks, AFixtureThatCannotBeBuiltIsOneFailedCheck) {
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    checks::CheckLog log;
    CodexLocalConversationArchiveChecks::run(log.reporter(), temporary.filePath("missing/folder"));
    EXPECT_EQ(log.count(), 1);
    EXPECT_EQ(log.failures(), QStringList{"Codex archive fixture databases open"});
}
