#include "desktop/checks/ClaudeLocalConversationArchiveChecks.h"
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

TEST(ClaudeLocalConversationArchiveChecks, EveryCheckPassesAndTheArchiveIsRemoved) {
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    checks::CheckLog log;
    ClaudeLocalConversationArchiveChecks::run(log.reporter(), temporary.path());
    EXPECT_TRUE(log.failures().isEmpty()) << "failed checks:\n" << log.failures().join('\n').toStdString();
    EXPECT_EQ(log.count(), 15);
    EXPECT_EQ(log.sentences().value(0),
              "Claude event ancestry preserves the active branch, timestamps and old-to-new user/AI order");
    EXPECT_EQ(log.sentences().value(14),
              "background Claude archive parsing delivers a verified result to the widget");
    EXPECT_TRUE(leftIn(temporary).isEmpty());
}

// A failed check ends a command-line run by throwing; the archive goes all the same, even with a
// background parse still running.
TEST(ClaudeLocalConversationArchiveChecks, AThrowingReporterStillRemovesTheArchive) {
    for (const int stopAt : {2, 14}) {
        QTemporaryDir temporary;
        ASSERT_TRUE(temporary.isValid());
        int reported = 0;
        const checks::Reporter stop = [&](bool, const QString& sentence) {
            if (++reported == stopAt)
                throw checks::CheckFailed(sentence);
        };
        EXPECT_THROW(ClaudeLocalConversationArchiveChecks::run(stop, temporary.path()), checks::CheckFailed);
        EXPECT_EQ(reported, stopAt);
        EXPECT_TRUE(leftIn(temporary).isEmpty()) << stopAt;
    }
}

// An archive that cannot be written fails the checks that depend on it; none passes on nothing.
TEST(ClaudeLocalConversationArchiveChecks, AnArchiveThatCannotBeWrittenFailsItsChecks) {
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    checks::CheckLog log;
    ClaudeLocalConversationArchiveChecks::run(log.reporter(), temporary.filePath("missing/folder"));
    EXPECT_EQ(log.count(), 15);
    const QStringList failed = log.failures();
    for (const char* sentence :
         {"Claude event ancestry preserves the active branch, timestamps and old-to-new user/AI order",
          "Claude server request includes the full verified branch in old-to-new order",
          "Claude archive refreshes a new user turn without losing earlier branch history",
          "a short user turn remains anchored when Claude stores it before its AI reply",
          "a new Claude archive parse starts without blocking the widget",
          "background Claude archive parsing delivers a verified result to the widget"})
        EXPECT_TRUE(failed.contains(sentence)) << sentence;
}
