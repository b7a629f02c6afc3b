#include "desktop/checks/CodexLocalConversationArchiveChecks.h"
#include "desktop/checks/CheckReporter.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

QStringList scratchFolders() {
    return QDir(QDir::tempPath())
        .entryList({QStringLiteral("quillmere-codex-archive-check-*")}, QDir::Dirs | QDir::NoDotAndDotDot);
}

} // namespace

TEST(CodexLocalConversationArchiveChecks, EveryCheckPassesAndTheFixtureIsRemoved) {
    const QStringList before = scratchFolders();
    checks::CheckLog log;
    CodexLocalConversationArchiveChecks::run(log.reporter());
    EXPECT_TRUE(log.failures().isEmpty()) << "failed checks:\n" << log.failures().join('\n').toStdString();
    // Seventeen checks, of which the first (the fixture opens) reports only when it fails.
    EXPECT_EQ(log.count(), 16);
    EXPECT_FALSE(log.sentences().contains("Codex archive fixture databases open"));
    EXPECT_EQ(log.sentences().value(0),
              "Codex local archive recovers complete ordered user and AI history with durable positions");
    EXPECT_EQ(log.sentences().value(15), "Codex local archive rejects ambiguous duplicate task titles");
    EXPECT_EQ(scratchFolders(), before);
}

// A failed check ends a command-line run by throwing; the fixture folder goes all the same.
TEST(CodexLocalConversationArchiveChecks, AThrowingReporterStillRemovesTheFixture) {
    const QStringList before = scratchFolders();
    int reported = 0;
    const checks::Reporter stopAtThird = [&](bool, const QString& sentence) {
        if (++reported == 3)
            throw checks::CheckFailed(sentence);
    };
    EXPECT_THROW(CodexLocalConversationArchiveChecks::run(stopAtThird), checks::CheckFailed);
    EXPECT_EQ(scratchFolders(), before);
}
