#include "desktop/usage/UsageRecorder.h"

#include "desktop/diagnostics/WriteFailures.h"

#include "desktop/usage/MonthlyUsage.h"
#include "desktop/usage/MonthlyUsageTestSupport.h"
#include "support/FileInTheWay.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace quillmere;

namespace {

const QDateTime start(QDate(2026, 10, 1), QTime(10, 0, 0), Qt::UTC);

UsageSnapshot snapshot() {
    UsageSnapshot s;
    s.provider = QStringLiteral("openai");
    s.surface = QStringLiteral("chat");
    s.thread = QStringLiteral("thread-1");
    s.turns = {{QStringLiteral("user"), QStringLiteral("Hello there")},
               {QStringLiteral("assistant"), QStringLiteral("Hi, how can I help?")}};
    s.setting = ObservedSetting{QStringLiteral("gpt-6-astra"), QStringLiteral("high")};
    s.complete = true;
    return s;
}

Recommendation recommendation(const QString& model = QStringLiteral("gpt-5.6-luna"),
                              const QString& effort = QStringLiteral("low")) {
    Recommendation r;
    r.provider = AIProvider::openAI;
    r.model = model;
    r.effort = effort;
    r.potentialPercent = 45;
    return r;
}

struct Recorder {
    QTemporaryDir temporary;
    QString folder = temporary.filePath(QStringLiteral("Quillmere/observations"));
    Defaults defaults{QStringLiteral("usage-test"), temporary.filePath(QStringLiteral("config"))};
    ManualClock clock{1000.0, start};
    int ids = 0;
    std::unique_ptr<UsageRecorder> recorder;

    void make() {
        recorder = std::make_unique<UsageRecorder>(defaults, folder, clock,
                                                   [this] { return QStringLiteral("R%1").arg(++ids); });
    }
    Recorder() { make(); }

    QString dayFile(const char* day) const {
        return folder + QStringLiteral("/usage-%1.jsonl").arg(QLatin1String(day));
    }
    QList<QJsonObject> lines(const char* day = "2026-10-01") const {
        QFile file(dayFile(day));
        QList<QJsonObject> out;
        if (!file.open(QIODevice::ReadOnly))
            return out;
        for (const QByteArray& line : file.readAll().split('\n'))
            if (!line.isEmpty())
                out.append(QJsonDocument::fromJson(line).object());
        return out;
    }
    QStringList kinds(const char* day = "2026-10-01") const {
        QStringList out;
        for (const QJsonObject& line : lines(day)) {
            const QString reason = line.value(QStringLiteral("reason")).toString();
            out.append(line.value(QStringLiteral("kind")).toString() +
                       (reason.isEmpty() ? QString() : u':' + reason));
        }
        return out;
    }
    QJsonObject status() const {
        QFile file(folder + QStringLiteral("/status.json"));
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                              : QJsonObject();
    }
    void showAndObserve() {
        recorder->observe(snapshot());
        recorder->shown(recommendation(), snapshot());
    }
};

} // namespace

TEST(UsageRecorder, StartsThePeriodAndWritesSortedStatusBytes) {
    Recorder r;
    EXPECT_EQ(r.defaults.string(QString::fromLatin1(UsageRecorder::collectionStartedKey)),
              QStringLiteral("2026-10-01T10:00:00.000Z"));
    QFile status(r.folder + QStringLiteral("/status.json"));
    ASSERT_TRUE(status.open(QIODevice::ReadOnly));
    EXPECT_EQ(status.readAll(),
              QByteArray(R"({"collectionEndsAt":"2026-10-04T10:00:00Z","lastWriteError":null,)"
                         R"("learningEnabled":false,"mode":"collect_only","paused":false,)"
                         R"("updatedAt":"2026-10-01T10:00:00Z"})"));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(r.folder).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);

    // The first observation with nothing pending writes no line.
    r.recorder->observe(snapshot());
    EXPECT_FALSE(QFile::exists(r.dayFile("2026-10-01")));
}

TEST(UsageRecorder, AShownRecommendationIsRecordedOnceInAPrivateDailyFile) {
    Recorder r;
    r.showAndObserve();
    const auto lines = r.lines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0].value(QStringLiteral("kind")).toString(), QStringLiteral("recommendation_shown"));
    EXPECT_EQ(lines[0].value(QStringLiteral("potentialPercent")).toDouble(), 45);
    EXPECT_EQ(lines[0].value(QStringLiteral("at")).toString(), QStringLiteral("2026-10-01T10:00:00Z"));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(r.dayFile("2026-10-01")).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST(UsageRecorder, GuardsOfShownRecommendations) {
    Recorder r;
    Recommendation newHaiku = recommendation(QStringLiteral("haiku"), QStringLiteral("low"));
    newHaiku.modelID = QStringLiteral("claude-haiku-5-5");
    r.recorder->shown(newHaiku, snapshot());
    r.recorder->shown(recommendation(QStringLiteral("gpt-5.6-luna"), QStringLiteral("extreme")), snapshot());
    r.recorder->shown(recommendation(QStringLiteral("mystery"), QStringLiteral("low")), snapshot());
    Recommendation efficient = recommendation();
    efficient.alreadyEfficient = true;
    r.recorder->shown(efficient, snapshot());
    EXPECT_TRUE(r.lines().isEmpty());

    Recommendation haiku = recommendation(QStringLiteral("haiku"), QStringLiteral("low"));
    haiku.extended = true;
    haiku.potentialPercent = 100.5;
    r.recorder->shown(haiku, snapshot());
    const auto lines = r.lines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0].value(QStringLiteral("target")).toObject().value(QStringLiteral("effort")).toString(),
              QStringLiteral("extended-on"));
    EXPECT_FALSE(lines[0].contains(QStringLiteral("potentialPercent")));
}

TEST(UsageRecorder, ObservationGapsAndApplyResults) {
    Recorder r;
    r.showAndObserve();
    r.clock.advance(4.0);
    r.recorder->observe(snapshot());
    EXPECT_EQ(r.kinds(), QStringList{QStringLiteral("recommendation_shown")});
    r.clock.advance(4.1);
    r.recorder->observe(snapshot());
    EXPECT_EQ(r.kinds().last(), QStringLiteral("censored:observation_gap"));

    r.recorder->shown(recommendation(), snapshot());
    r.recorder->interaction(u"apply_verified"); // no press before it
    const qsizetype before = r.lines().size();
    EXPECT_EQ(r.lines().size(), before);
    r.recorder->interaction(u"use_clicked");
    r.recorder->interaction(u"apply_failed");
    r.recorder->interaction(u"apply_failed");
    const auto lines = r.lines();
    ASSERT_EQ(lines.size(), before + 2);
    EXPECT_EQ(lines[before].value(QStringLiteral("kind")).toString(), QStringLiteral("use_clicked"));
    EXPECT_EQ(lines[before + 1].value(QStringLiteral("recommendationID")),
              lines[before].value(QStringLiteral("recommendationID")));
}

TEST(UsageRecorder, ThePeriodEndsAfterExactlyThreeDaysAndResumingStartsANewOne) {
    Recorder r;
    r.showAndObserve();
    r.clock.advance(259199);
    r.recorder->lostContext(u"window_unavailable");
    r.recorder->shown(recommendation(), snapshot());
    EXPECT_TRUE(r.kinds("2026-10-04").contains(QStringLiteral("recommendation_shown")));
    r.clock.advance(1);
    r.recorder->observe(snapshot());
    EXPECT_EQ(r.kinds("2026-10-04").last(), QStringLiteral("censored:collection_period_ended"));
    EXPECT_TRUE(UsageRecorder::paused(r.defaults));
    EXPECT_TRUE(r.status().value(QStringLiteral("paused")).toBool());

    // Paused once: the ticks after it send nothing more to the settings file.
    int writes = 0;
    r.defaults.setWriteReport([&writes](const std::optional<QString>&) { ++writes; });
    QCoreApplication::sendPostedEvents();
    writes = 0;
    for (int tick = 0; tick < 3; ++tick) {
        r.clock.advance(0.25);
        r.recorder->observe(snapshot());
        r.recorder->lostContext(u"window_unavailable");
        QCoreApplication::sendPostedEvents();
    }
    EXPECT_EQ(writes, 0);
    EXPECT_TRUE(UsageRecorder::paused(r.defaults));

    r.recorder->togglePaused(); // resume
    EXPECT_FALSE(UsageRecorder::paused(r.defaults));
    EXPECT_EQ(r.status().value(QStringLiteral("collectionEndsAt")).toString(),
              QStringLiteral("2026-10-07T10:00:00Z"));
    r.recorder->shown(recommendation(), snapshot());
    r.recorder->togglePaused(); // pause: the pending observation ends once
    EXPECT_EQ(r.kinds("2026-10-04").last(), QStringLiteral("censored:collection_toggled"));
    EXPECT_TRUE(r.status().value(QStringLiteral("paused")).toBool());
}

TEST(UsageRecorder, APausedRecorderEndsItsObservationWithoutWriting) {
    Recorder r;
    r.showAndObserve();
    // Another widget paused collection meanwhile.
    r.defaults.set(QString::fromLatin1(UsageRecorder::pausedKey), true);
    r.recorder->lostContext(u"app_closed");
    EXPECT_EQ(r.kinds(), QStringList{QStringLiteral("recommendation_shown")});
    r.defaults.set(QString::fromLatin1(UsageRecorder::pausedKey), false);
    r.recorder->lostContext(u"app_closed");
    EXPECT_EQ(r.kinds(), QStringList{QStringLiteral("recommendation_shown")})
        << "nothing was pending any more";
}

// Settings that cannot be used (a FIFO in place of the file) may hold a pause nobody can see:
// collection is treated as paused for the run, so the menu item offers to resume and nothing is
// recorded; resuming during the run collects as usual.
TEST(UsageRecorder, SettingsThatCannotBeUsedKeepCollectionPausedUntilResumed) {
    QTemporaryDir temporary;
    const QString config = temporary.filePath(QStringLiteral("config"));
    ASSERT_TRUE(QDir().mkpath(config));
    ASSERT_EQ(::mkfifo(QFile::encodeName(config + QStringLiteral("/usage-test.ini")).constData(), 0600), 0);
    Defaults defaults(QStringLiteral("usage-test"), config);
    ASSERT_TRUE(defaults.refusal());
    ManualClock clock{1000.0, start};
    const QString folder = temporary.filePath(QStringLiteral("Quillmere/observations"));
    UsageRecorder recorder(defaults, folder, clock, [] { return QStringLiteral("R1"); });
    EXPECT_TRUE(UsageRecorder::paused(defaults));
    recorder.observe(snapshot());
    recorder.shown(recommendation(), snapshot());
    recorder.interaction(u"use_clicked");
    const QString day = folder + QStringLiteral("/usage-2026-10-01.jsonl");
    EXPECT_FALSE(QFileInfo::exists(day)) << "nothing recorded";
    QFile status(folder + QStringLiteral("/status.json"));
    ASSERT_TRUE(status.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QJsonDocument::fromJson(status.readAll()).object().value(QStringLiteral("paused")).toBool());

    recorder.togglePaused(); // resumed by the person, for this run
    EXPECT_FALSE(UsageRecorder::paused(defaults));
    recorder.observe(snapshot());
    recorder.shown(recommendation(), snapshot());
    EXPECT_TRUE(QFileInfo::exists(day));
}

// The daily file is a second name for a file elsewhere: nothing is appended to it, and the write
// fails as any other.
TEST(UsageRecorder, ADailyFileWithASecondNameIsNotWritten) {
    Recorder r;
    const QString elsewhere = r.temporary.filePath(QStringLiteral("elsewhere.jsonl"));
    QFile other(elsewhere);
    ASSERT_TRUE(other.open(QIODevice::WriteOnly));
    other.close();
    ASSERT_TRUE(QDir().mkpath(r.folder));
    ASSERT_EQ(::link(QFile::encodeName(elsewhere).constData(),
                     QFile::encodeName(r.dayFile("2026-10-01")).constData()),
              0);
    r.showAndObserve();
    EXPECT_EQ(QFileInfo(elsewhere).size(), 0);
    EXPECT_EQ(r.recorder->lastError(), QString::fromLatin1(UsageRecorder::writeFailed));
}

TEST(UsageRecorder, ANonDateStartIsReplacedSoThePeriodEnds) {
    Recorder r;
    r.defaults.set(QString::fromLatin1(UsageRecorder::collectionStartedKey), 12345);
    r.make();
    EXPECT_EQ(r.defaults.string(QString::fromLatin1(UsageRecorder::collectionStartedKey)),
              QStringLiteral("2026-10-01T10:00:00.000Z"));
    r.defaults.set(QString::fromLatin1(UsageRecorder::collectionStartedKey), QStringLiteral("yesterday"));
    r.clock.advance(60);
    r.make();
    EXPECT_EQ(r.defaults.string(QString::fromLatin1(UsageRecorder::collectionStartedKey)),
              QStringLiteral("2026-10-01T10:01:00.000Z"));
}

// The pause and the start of the period reach the settings file on the next turn without a sync,
// so a kill after it keeps them: the next run finds the pause and does not stamp a new period.
TEST(UsageRecorder, ThePauseAndThePeriodStartReachTheFileWithoutASync) {
    Recorder r;
    const QString config = r.temporary.filePath(QStringLiteral("config"));
    const QString started = QString::fromLatin1(UsageRecorder::collectionStartedKey);
    r.clock.advance(60);
    r.recorder->togglePaused();
    QCoreApplication::sendPostedEvents();
    Defaults next(QStringLiteral("usage-test"), config);
    EXPECT_TRUE(UsageRecorder::paused(next));
    ManualClock later{2000.0, start.addSecs(3600)};
    UsageRecorder again(next, r.folder, later);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(Defaults(QStringLiteral("usage-test"), config).string(started),
              QStringLiteral("2026-10-01T10:00:00.000Z"))
        << "stamped once";
    again.togglePaused(); // resumed: a new period
    QCoreApplication::sendPostedEvents();
    Defaults resumed(QStringLiteral("usage-test"), config);
    EXPECT_FALSE(UsageRecorder::paused(resumed));
    EXPECT_EQ(resumed.string(started), QStringLiteral("2026-10-01T11:00:00.000Z"));
}

TEST(UsageRecorder, EventsAcrossMidnightGoToTwoDailyFiles) {
    Recorder r;
    r.clock.setNow(QDateTime(QDate(2026, 10, 1), QTime(23, 59, 59), Qt::UTC));
    r.showAndObserve();
    r.clock.advance(1);
    r.recorder->lostContext(u"rail_dismissed");
    EXPECT_EQ(r.kinds("2026-10-01"), QStringList{QStringLiteral("recommendation_shown")});
    EXPECT_EQ(r.kinds("2026-10-02"), QStringList{QStringLiteral("censored:rail_dismissed")});
}

TEST(UsageRecorder, UnusableFoldersLeaveTheirTextsAndWriteNothingElsewhere) {
    Recorder r;
    // A file where the folder should be.
    QDir(r.folder).removeRecursively();
    ASSERT_TRUE(quillmere::testing::fileInTheWay(r.folder));
    WriteFailures::shared().clear();
    r.showAndObserve();
    EXPECT_EQ(r.recorder->lastError(), QString::fromLatin1(UsageRecorder::statusWriteFailed));
    // Said as every owned file's failed write is, by its kind.
    ASSERT_EQ(WriteFailures::shared().failures().size(), 1);
    EXPECT_EQ(WriteFailures::shared().failures().front().kind, "observation status");
    EXPECT_EQ(WriteFailures::shared().failures().front().error,
              QString::fromLocal8Bit(std::strerror(ENOTDIR)));

    // A link in the folder's place to another user's folder is not followed.
    QFile::remove(r.folder);
    const QString elsewhere =
        quillmere::testing::foreignFolder(r.temporary.filePath(QStringLiteral("elsewhere")));
    ASSERT_TRUE(QFile::link(elsewhere, r.folder));
    r.recorder->lostContext(u"app_closed");
    r.recorder->shown(recommendation(QStringLiteral("gpt-6-sol"), QStringLiteral("high")), snapshot());
    EXPECT_TRUE(
        QDir(elsewhere).entryList({QStringLiteral("usage-*"), QStringLiteral("status.json")}).isEmpty());
    EXPECT_EQ(r.recorder->lastError(), QString::fromLatin1(UsageRecorder::statusWriteFailed));

    // A usable folder again: the next event write clears the error.
    QFile::remove(r.folder);
    r.recorder->lostContext(u"app_closed");
    r.recorder->shown(recommendation(), snapshot());
    EXPECT_FALSE(r.recorder->lastError());
    EXPECT_EQ(r.status().value(QStringLiteral("lastWriteError")), QJsonValue::Null);
    EXPECT_TRUE(WriteFailures::shared().failures().front().writtenAgain);
    WriteFailures::shared().clear();
}

// A data folder moved to another disk and replaced by a link is written through the link; a daily
// file that is itself a link is still not written through.
TEST(UsageRecorder, AFolderThatIsALinkToTheUsersFolderIsFollowed) {
    Recorder r;
    QDir(r.folder).removeRecursively();
    const QString disk = r.temporary.filePath(QStringLiteral("other-disk/observations"));
    QDir().mkpath(disk);
    ASSERT_TRUE(QFile::link(disk, r.folder));
    r.make();
    r.showAndObserve();
    EXPECT_FALSE(r.recorder->lastError());
    EXPECT_EQ(r.kinds(), QStringList{QStringLiteral("recommendation_shown")});
    EXPECT_TRUE(QFileInfo(disk + QStringLiteral("/usage-2026-10-01.jsonl")).isFile());
    EXPECT_TRUE(QFileInfo(disk + QStringLiteral("/status.json")).isFile());

    const QString target = r.temporary.filePath(QStringLiteral("target.jsonl"));
    QFile(target).open(QIODevice::WriteOnly);
    ASSERT_TRUE(QFile::link(target, disk + QStringLiteral("/usage-2026-10-02.jsonl")));
    r.clock.advance(86400);
    r.recorder->lostContext(u"app_closed");
    r.recorder->shown(recommendation(QStringLiteral("gpt-6-sol"), QStringLiteral("high")), snapshot());
    EXPECT_EQ(QFileInfo(target).size(), 0);
    EXPECT_TRUE(r.recorder->lastError());
}

// ".." after a link in the folder's path is where the link leads, then up, as the system opens
// it: the daily file and the status go there when that is a folder of this user's, and nowhere
// when it is a folder others can write (though the textual "home/share" is this user's).
TEST(UsageRecorder, DotDotAfterALinkIsWhereTheSystemGoes) {
    for (const bool open : {false, true}) {
        SCOPED_TRACE(open ? "into a folder others can write" : "into a folder of this user's");
        Recorder r;
        const QString home = r.temporary.filePath(QStringLiteral("home"));
        const QString elsewhere = r.temporary.filePath(QStringLiteral("elsewhere"));
        ASSERT_TRUE(QDir().mkpath(home + QStringLiteral("/share")));
        ASSERT_TRUE(QDir().mkpath(elsewhere + QStringLiteral("/sub")));
        ASSERT_EQ(::chmod(QFile::encodeName(elsewhere).constData(), open ? 0777 : 0700), 0);
        // Whoever may write the open folder has made the folders below it ready.
        if (open) {
            ASSERT_TRUE(QDir().mkpath(elsewhere + QStringLiteral("/share/observations")));
        }
        ASSERT_TRUE(QFile::link(elsewhere + QStringLiteral("/sub"), home + QStringLiteral("/lnk")));
        r.folder = home + QStringLiteral("/lnk/../share/observations");
        r.make();
        r.showAndObserve();
        const QString kernels = elsewhere + QStringLiteral("/share/observations");
        EXPECT_EQ(QFileInfo(kernels + QStringLiteral("/usage-2026-10-01.jsonl")).isFile(), !open);
        EXPECT_EQ(QFileInfo(kernels + QStringLiteral("/status.json")).isFile(), !open);
        EXPECT_EQ(r.recorder->lastError().has_value(), open);
        EXPECT_FALSE(QFileInfo::exists(home + QStringLiteral("/share/observations")));
        if (!open) {
            EXPECT_EQ(r.kinds(), QStringList{QStringLiteral("recommendation_shown")});
        }
    }
}

TEST(UsageRecorder, AShortWriteIsCutBackSoTheNextLineStandsAlone) {
    Recorder r;
    r.showAndObserve();
    const QString file = r.dayFile("2026-10-01");
    const qint64 size = QFileInfo(file).size();
    // Let the next line stop part of the way through.
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit tight = old;
    tight.rlim_cur = rlim_t(size + 10);
    ::setrlimit(RLIMIT_FSIZE, &tight);
    r.recorder->lostContext(u"window_unavailable");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(QFileInfo(file).size(), size);
    EXPECT_TRUE(r.recorder->lastError());

    r.recorder->shown(recommendation(), snapshot());
    EXPECT_EQ(r.kinds(),
              (QStringList{QStringLiteral("recommendation_shown"), QStringLiteral("recommendation_shown")}));
}
