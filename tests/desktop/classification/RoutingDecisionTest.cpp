#include "desktop/classification/RoutingDecisionDiagnostic.h"

#include "platform/time/Clock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace quillmere;

namespace {

QByteArray read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(RoutingDecisionMetadata, FiltersFieldByField) {
    EXPECT_FALSE(RoutingDecisionMetadata::make("Suggest"));
    EXPECT_FALSE(RoutingDecisionMetadata::make(""));
    EXPECT_FALSE(RoutingDecisionMetadata::make("keep "));

    const auto keep =
        RoutingDecisionMetadata::make("keep", QStringLiteral("hard"), QStringLiteral("catalog"));
    ASSERT_TRUE(keep);
    EXPECT_FALSE(keep->taskCategory);
    EXPECT_EQ(keep->routingSource, "catalog");

    EXPECT_FALSE(
        RoutingDecisionMetadata::make("abstain", {}, {}, {}, QStringLiteral("sonnet"))->recommendedModel);
    EXPECT_EQ(
        RoutingDecisionMetadata::make("suggest", {}, {}, {}, QStringLiteral("sonnet"))->recommendedModel,
        "sonnet");
    EXPECT_FALSE(
        RoutingDecisionMetadata::make("suggest", {}, {}, {}, QStringLiteral("gpt-5.6"))->recommendedModel);
}

TEST(RoutingDecisionMetadata, HostileValuesNeverSurvive) {
    const QString nul = QString::fromUtf8("development.debug\0x", 19);
    const QString decomposed = QString::fromUtf8("Development.debug");
    const auto metadata =
        RoutingDecisionMetadata::make("suggest", QString(100000, 'a'), QStringLiteral("catalog\n"), nul,
                                      QStringLiteral("SONNET"), QStringLiteral("already_fit\u200B"));
    ASSERT_TRUE(metadata);
    EXPECT_FALSE(metadata->taskCategory);
    EXPECT_FALSE(metadata->routingSource);
    EXPECT_FALSE(metadata->routedTaskId);
    EXPECT_FALSE(metadata->recommendedModel);
    EXPECT_FALSE(metadata->decisionReasonCode);
    EXPECT_FALSE(RoutingDecisionMetadata::make("suggest", {}, {}, decomposed)->routedTaskId);
}

class RoutingDecisionFile : public ::testing::Test {
protected:
    QTemporaryDir folder;
    ManualClock clock{1000.0, QDateTime(QDate(2026, 1, 31), QTime(9, 15), Qt::UTC)};
    QString path() const { return folder.filePath("routing.json"); }
    std::optional<RoutingDecisionMetadata> suggest =
        RoutingDecisionMetadata::make("suggest", QStringLiteral("simple"), QStringLiteral("catalog"),
                                      QStringLiteral("writing.draft"), QStringLiteral("gpt-6-luna"));
};

TEST_F(RoutingDecisionFile, ExactBytesAndOwnerOnlyMode) {
    RoutingDecisionDiagnostic diagnostic(path(), &clock);
    diagnostic.displayed(suggest, "openai", true, false, "task_changed");
    EXPECT_EQ(
        read(path()),
        R"({"cardCurrent":true,"currentModelKnown":false,"decision":"suggest","decisionReasonCode":null,)"
        R"("recommendedModel":"gpt-6-luna","routedTaskId":"writing.draft","routingSource":"catalog",)"
        R"("schedulerReason":"task_changed","taskCategory":"simple","timestamp":"2026-01-31T09:15:00Z"})");
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(path()).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
}

TEST_F(RoutingDecisionFile, StartRemovesAnOldFileAndAbsentMetadataKeepsTheCurrentOne) {
    {
        QFile old(path());
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old run");
    }
    RoutingDecisionDiagnostic diagnostic(path(), &clock);
    EXPECT_FALSE(QFile::exists(path()));
    diagnostic.displayed(std::nullopt, "openai", true, true, "waiting");
    EXPECT_FALSE(QFile::exists(path()));
    diagnostic.update("openai", false, "waiting");
    EXPECT_FALSE(QFile::exists(path()));

    diagnostic.displayed(suggest, "openai", true, true, "");
    const QByteArray written = read(path());
    EXPECT_TRUE(written.contains(R"("schedulerReason":"unknown")"));
    diagnostic.displayed(std::nullopt, "claude", false, false, "waiting");
    EXPECT_EQ(read(path()), written);
}

TEST_F(RoutingDecisionFile, StartRemovesTheTemporaryACrashedRunLeft) {
    const QString stale = folder.filePath(".routing.json.3w5e11264sgsg.tmp");
    {
        QFile temporary(stale);
        ASSERT_TRUE(temporary.open(QIODevice::WriteOnly));
        temporary.write("{}");
    }
    const struct timespec longAgo[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(stale).constData(), longAgo, 0), 0);
    RoutingDecisionDiagnostic diagnostic(path(), &clock);
    EXPECT_FALSE(QFile::exists(stale));
}

TEST_F(RoutingDecisionFile, UnchangedUpdatesDoNotRewrite) {
    RoutingDecisionDiagnostic diagnostic(path(), &clock);
    diagnostic.displayed(suggest, "openai", true, true, "first_context_check");
    // Remove the file behind the diagnostic's back: only a real change writes it again, and
    // an update never refreshes the timestamp.
    QFile::remove(path());
    diagnostic.update("openai", true, "first_context_check");
    EXPECT_FALSE(QFile::exists(path()));
    clock.advance(60);
    diagnostic.update("openai", true, "already_checked");
    EXPECT_TRUE(read(path()).contains(R"("timestamp":"2026-01-31T09:15:00Z")"));
    EXPECT_TRUE(read(path()).contains(R"("schedulerReason":"already_checked")"));
}

TEST_F(RoutingDecisionFile, AnUnwritableFolderIsIgnored) {
    RoutingDecisionDiagnostic diagnostic(folder.filePath("missing/routing.json"), &clock);
    diagnostic.displayed(suggest, "openai", true, true, "waiting");
    EXPECT_TRUE(diagnostic.hasRecord());
    EXPECT_FALSE(QFile::exists(folder.filePath("missing/routing.json")));
}
