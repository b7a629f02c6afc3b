#include "desktop/usage/MonthlyUsageLedger.h"

#include "desktop/diagnostics/DebugMonitor.h"
#include "desktop/diagnostics/WriteFailures.h"
#include "desktop/usage/MonthlyUsageTestSupport.h"
#include "support/FileInTheWay.h"
#include "support/PlantedFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::MonthlyUsage;

namespace {

QDateTime at(const char* text) {
    return QDateTime::fromMSecsSinceEpoch(*date(QString::fromLatin1(text)), Qt::UTC);
}

const QDateTime weekStart = at("2026-09-30T20:00:00Z");
const QDateTime weekReset = at("2026-10-07T20:00:00Z");
const QDateTime asOf = at("2026-10-15T12:00:00Z");
const QString scope = QStringLiteral("scope-0001");
const QString bucket = QStringLiteral("bucket-0001");
const QString utc = QStringLiteral("UTC");

void record(MonthlyUsageLedger& ledger, const QDateTime& observed, double percent,
            const QDateTime& start = weekStart, const QDateTime& reset = weekReset) {
    ledger.record(Provider::openai, scope, bucket, Kind::weekly, start, reset, observed, percent, asOf);
}

Invalid::Case failure(const std::function<void()>& action) {
    try {
        action();
    } catch (const Invalid& error) {
        return error.kind();
    }
    ADD_FAILURE() << "nothing was thrown";
    return Invalid::response;
}

QByteArray read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int mode(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

struct Folder {
    QTemporaryDir temporary;
    QString path = temporary.filePath(QStringLiteral("Quillmere/monthly-usage"));
    QString file = path + QStringLiteral("/monthly-v1.json");

    void write(const QByteArray& bytes) {
        QDir().mkpath(path);
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes);
    }
};

} // namespace

TEST(MonthlyUsageLedger, AMissingFileIsAnEmptyHistoryAndNothingIsCreated) {
    Folder folder;
    const MonthlyUsageLedger ledger(folder.path);
    EXPECT_FALSE(ledger.lastError());
    EXPECT_TRUE(ledger.request(QStringLiteral("2026-10"), utc, asOf).windows.empty());
    EXPECT_FALSE(QFileInfo::exists(folder.path));
}

TEST(MonthlyUsageLedger, RecordsWindowsPrivatelyAndIdempotently) {
    Folder folder;
    MonthlyUsageLedger ledger(folder.path);
    record(ledger, at("2026-09-30T20:30:00Z"), 100);
    EXPECT_EQ(mode(folder.path), 0700);
    EXPECT_EQ(mode(folder.file), 0600);
    const QByteArray first = read(folder.file);
    struct stat before {};
    ::stat(QFile::encodeName(folder.file).constData(), &before);
    record(ledger, at("2026-09-30T20:30:00Z"), 100);
    struct stat after {};
    ::stat(QFile::encodeName(folder.file).constData(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino) << "the same observation does not rewrite the file";
    EXPECT_EQ(failure([&] { record(ledger, at("2026-09-30T20:30:00Z"), 71); }), Invalid::observation);
    EXPECT_EQ(read(folder.file), first);
    EXPECT_TRUE(first.contains(R"("baseline":null)"));
    EXPECT_TRUE(first.contains(R"("at":"2026-09-30T20:30:00.000Z")"));

    // Out of order, then a drop: kept in time order, nothing treated as a reset.
    record(ledger, at("2026-10-02T00:00:00Z"), 60);
    record(ledger, at("2026-10-01T00:00:00Z"), 100);
    const auto request = ledger.request(QStringLiteral("2026-10"), utc, asOf);
    ASSERT_EQ(request.windows.size(), 1u);
    ASSERT_EQ(request.windows[0].samples.size(), 3u);
    EXPECT_EQ(request.windows[0].samples[1].at, QStringLiteral("2026-10-01T00:00:00.000Z"));
    EXPECT_EQ(request.windows[0].samples[2].usedPercent, 60);
    EXPECT_EQ(failure([&] {
                  ledger.record(Provider::openai, scope, bucket, Kind::session, weekStart, weekReset,
                                at("2026-10-03T00:00:00Z"), 1, asOf);
              }),
              Invalid::observation)
        << "another kind for the same window";
}

TEST(MonthlyUsageLedger, RefusesBadObservations) {
    Folder folder;
    MonthlyUsageLedger ledger(folder.path);
    const QDateTime inside = at("2026-10-01T00:00:00Z");
    for (const double percent :
         {100.5, -1.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()})
        EXPECT_EQ(failure([&] { record(ledger, inside, percent); }), Invalid::observation) << percent;
    EXPECT_EQ(failure([&] { record(ledger, weekReset, 1); }), Invalid::observation);
    EXPECT_EQ(failure([&] { record(ledger, asOf.addSecs(1), 1, weekStart, asOf.addDays(2)); }),
              Invalid::observation);
    EXPECT_EQ(failure([&] {
                  ledger.record(Provider::openai, QStringLiteral("https://example.test/account"), bucket,
                                Kind::weekly, weekStart, weekReset, inside, 1, asOf);
              }),
              Invalid::observation);
    EXPECT_EQ(failure([&] { record(ledger, weekStart, 1, weekStart, weekStart.addSecs(31622401)); }),
              Invalid::observation);
    record(ledger, weekStart, 1, weekStart, weekStart.addSecs(31622400));
    record(ledger, weekStart, -0.0);
    EXPECT_FALSE(ledger.lastError());
}

TEST(MonthlyUsageLedger, DefaultsAreFrozenIntoNewWindowsOnly) {
    Folder folder;
    MonthlyUsageLedger ledger(folder.path);
    record(ledger, at("2026-10-01T00:00:00Z"), 10);
    const Baseline sol{QStringLiteral("baseline-0001"), QStringLiteral("gpt-6.1-sol"), Effort::high,
                       std::nullopt};
    ledger.setDefaultSetting(sol, Provider::openai);
    EXPECT_EQ(ledger.defaultSetting(Provider::openai), sol);
    EXPECT_FALSE(ledger.defaultSetting(Provider::anthropic));
    record(ledger, weekReset.addSecs(60), 20, weekReset, weekReset.addDays(7));
    const auto request = ledger.request(QStringLiteral("2026-10"), utc, asOf);
    ASSERT_EQ(request.windows.size(), 2u);
    EXPECT_FALSE(request.windows[0].baseline);
    EXPECT_EQ(request.windows[1].baseline, sol);
    EXPECT_EQ(failure([&] {
                  ledger.setDefaultSetting(
                      Baseline{QStringLiteral("baseline-0002"), QStringLiteral("GPT"), {}, {}},
                      Provider::openai);
              }),
              Invalid::observation);
    EXPECT_EQ(MonthlyUsageLedger(folder.path).defaultSetting(Provider::openai), sol);
}

TEST(MonthlyUsageLedger, MonthsZonesAndLimits) {
    Folder folder;
    MonthlyUsageLedger ledger(folder.path);
    record(ledger, at("2026-09-30T20:30:00Z"), 100);
    EXPECT_EQ(ledger.request(QStringLiteral("2026-09"), utc, asOf).windows.size(), 1u);
    EXPECT_EQ(ledger.request(QStringLiteral("2026-10"), utc, asOf).windows.size(), 1u);
    EXPECT_TRUE(ledger.request(QStringLiteral("2026-11"), utc, asOf).windows.empty());
    EXPECT_TRUE(
        ledger.request(QStringLiteral("2026-10"), utc, at("2026-09-30T20:00:00Z")).windows[0].samples.empty())
        << "a sample after asOf is left out, its window is still sent";
    for (const char* bad :
         {"2026-13", "1999-01", "2100-01", "2026-1", "2026-10 ", "２026-10", "2026-10\n", "2026-10\r\n"})
        EXPECT_EQ(failure([&] { ledger.request(QString::fromUtf8(bad), utc, asOf); }), Invalid::observation)
            << bad;
    EXPECT_NO_THROW(ledger.request(QStringLiteral("2099-12"), utc, asOf));
    EXPECT_EQ(
        failure([&] { ledger.request(QStringLiteral("2026-10"), QStringLiteral("Unknown/Zone"), asOf); }),
        Invalid::observation);

    // A window resetting at the first instant of November in the zone is not November's.
    MonthlyUsageLedger edge(folder.temporary.filePath(QStringLiteral("edge")));
    edge.record(Provider::anthropic, scope, bucket, Kind::session, at("2026-10-31T20:00:00Z"),
                at("2026-10-31T22:00:00Z"), at("2026-10-31T21:00:00Z"), 5, at("2026-11-02T00:00:00Z"));
    EXPECT_TRUE(edge.request(QStringLiteral("2026-11"), QStringLiteral("Europe/Kyiv"), asOf).windows.empty());
    EXPECT_EQ(edge.request(QStringLiteral("2026-11"), QStringLiteral("Asia/Tokyo"), asOf).windows.size(), 1u);
}

TEST(MonthlyUsageLedger, RequestLimitsFailWholeAndNothingIsDropped) {
    Folder folder;
    const auto windowsFile = [](int windows, int samplesEach, int idLength, bool estimates = false) {
        json::Array list;
        for (int w = 0; w < windows; ++w) {
            Window window;
            window.id = QStringLiteral("w%1").arg(w).leftJustified(idLength, u'x');
            window.scopeId = scope;
            window.bucketId = QStringLiteral("bucket-%1").arg(w, 4, 10, QLatin1Char('0'));
            window.startsAt = QStringLiteral("2026-10-01T00:00:00.000Z");
            window.resetsAt = QStringLiteral("2026-10-08T00:00:00.000Z");
            if (estimates)
                window.baseline = Baseline{QString(idLength, u'b'), QStringLiteral("gpt-6"), {}, {}};
            for (int s = 0; s < samplesEach; ++s) {
                Sample sample{QStringLiteral("s%1").arg(s).leftJustified(idLength, u'y'),
                              canonical(*date(window.startsAt) + s * 1000), 1, std::nullopt};
                if (estimates)
                    sample.withoutQuillmere =
                        Estimate{window.baseline->id,
                                 1,
                                 2,
                                 Estimate::Basis::paired,
                                 QStringLiteral("e%1").arg(s).leftJustified(idLength, u'z'),
                                 true};
                window.samples.push_back(sample);
            }
            list.push_back(toJson(window));
        }
        return json::write(json::Object{{QStringLiteral("schemaVersion"), 1},
                                        {QStringLiteral("windows"), std::move(list)},
                                        {QStringLiteral("defaults"), json::Object{}}});
    };
    const auto outcome = [&](const QByteArray& file) -> std::optional<Invalid::Case> {
        folder.write(file);
        const MonthlyUsageLedger ledger(folder.path);
        EXPECT_FALSE(ledger.lastError());
        try {
            ledger.request(QStringLiteral("2026-10"), utc, asOf);
        } catch (const Invalid& error) {
            return error.kind();
        }
        return std::nullopt;
    };
    EXPECT_EQ(outcome(windowsFile(512, 0, 8)), std::nullopt);
    EXPECT_EQ(outcome(windowsFile(513, 0, 8)), Invalid::requestLimit);
    EXPECT_EQ(outcome(windowsFile(1, 4096, 8)), std::nullopt);
    EXPECT_EQ(outcome(windowsFile(1, 4097, 8)), Invalid::requestLimit);
    EXPECT_EQ(outcome(windowsFile(1, 2000, 80, true)), std::nullopt);
    EXPECT_EQ(outcome(windowsFile(1, 4000, 80, true)), Invalid::requestLimit) << "over 1,000,000 bytes";
}

TEST(MonthlyUsageLedger, UnreadableFilesMakeTheLedgerUnusableAndAreNeverTouched) {
    const std::vector<std::pair<const char*, QByteArray>> files{
        {"not JSON", "broken history"},
        {"truncated", R"({"schemaVersion":1,"windows":[{"id":"window-0001")"},
        {"wrong shape", R"({"schemaVersion":1,"windows":{},"defaults":{}})"},
        {"array", "[]"},
        {"schema 2", R"({"schemaVersion":2,"windows":[],"defaults":{}})"},
        {"missing defaults", R"({"schemaVersion":1,"windows":[]})"},
        {"capital model",
         R"({"schemaVersion":1,"windows":[],"defaults":{"openai":{"id":"baseline-0001","model":"GPT-6","effort":null,"speed":null}}})"},
        {"duplicate ids",
         R"({"schemaVersion":1,"defaults":{},"windows":[
           {"id":"window-0001","scopeId":"scope-0001","provider":"openai","bucketId":"bucket-0001","kind":"weekly","startsAt":"2026-10-01T00:00:00.000Z","resetsAt":"2026-10-02T00:00:00.000Z","baseline":null,"coverageComplete":false,"samples":[]},
           {"id":"window-0001","scopeId":"scope-0001","provider":"openai","bucketId":"bucket-0002","kind":"weekly","startsAt":"2026-10-01T00:00:00.000Z","resetsAt":"2026-10-02T00:00:00.000Z","baseline":null,"coverageComplete":false,"samples":[]}]})"},
    };
    const QString text =
        QStringLiteral("Local usage history could not be read or saved. Existing history was preserved.");
    for (const auto& [name, bytes] : files) {
        Folder folder;
        folder.write(bytes);
        MonthlyUsageLedger ledger(folder.path);
        EXPECT_EQ(ledger.lastError(), text) << name;
        EXPECT_EQ(failure([&] { ledger.request(QStringLiteral("2026-10"), utc, asOf); }),
                  Invalid::persistence)
            << name;
        // Recording into it is refused as an observation that cannot be taken; the read failure
        // is what lastError keeps, and recording does not change it.
        EXPECT_EQ(failure([&] { record(ledger, at("2026-10-01T00:00:00Z"), 1); }), Invalid::observation)
            << name;
        EXPECT_EQ(ledger.lastError(), text) << name;
        EXPECT_EQ(failure([&] {
                      ledger.setDefaultSetting(
                          Baseline{QStringLiteral("baseline-0001"), QStringLiteral("gpt-6"), {}, {}},
                          Provider::openai);
                  }),
                  Invalid::persistence)
            << name;
        EXPECT_FALSE(ledger.defaultSetting(Provider::openai));
        EXPECT_EQ(read(folder.file), bytes) << name;
    }
}

TEST(MonthlyUsageLedger, DirectoriesLinksAndHugeFilesAreNotReadAsHistory) {
    {
        Folder folder;
        QDir().mkpath(folder.file);
        MonthlyUsageLedger ledger(folder.path);
        EXPECT_TRUE(ledger.lastError());
        EXPECT_TRUE(QFileInfo(folder.file).isDir());
    }
    // The ledger's name for a history kept elsewhere: a link of this user's to a file of this
    // user's is followed, as for the settings and the memory; a second name for a file, or a
    // link to one that others may write, is not history.
    const struct {
        const char* what;
        bool hardLink;
        mode_t mode;
        bool read;
    } named[] = {
        {"a link to a file of this user's", false, 0600, true},
        {"a second name", true, 0600, false},
        {"a link to a file others may write", false, 0666, false},
    };
    for (const auto& row : named) {
        SCOPED_TRACE(row.what);
        Folder folder;
        const QString elsewhere = folder.temporary.filePath(QStringLiteral("elsewhere.json"));
        QFile out(elsewhere);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(
            R"({"schemaVersion":1,"windows":[],"defaults":{"openai":{"id":"baseline-0001","model":"gpt-6","effort":null,"speed":null}}})");
        out.close();
        ASSERT_EQ(::chmod(QFile::encodeName(elsewhere).constData(), row.mode), 0);
        QDir().mkpath(folder.path);
        if (row.hardLink)
            ASSERT_EQ(
                ::link(QFile::encodeName(elsewhere).constData(), QFile::encodeName(folder.file).constData()),
                0);
        else
            ASSERT_TRUE(QFile::link(elsewhere, folder.file));
        MonthlyUsageLedger ledger(folder.path);
        EXPECT_EQ(ledger.lastError().has_value(), !row.read);
        EXPECT_EQ(ledger.defaultSetting(Provider::openai).has_value(), row.read);
    }
    {
        Folder folder;
        folder.write("{");
        ASSERT_EQ(::truncate(QFile::encodeName(folder.file).constData(), 100 * 1024 * 1024), 0);
        MonthlyUsageLedger ledger(folder.path);
        EXPECT_TRUE(ledger.lastError());
        EXPECT_EQ(QFileInfo(folder.file).size(), 100 * 1024 * 1024);
    }
}

// People move their data folder to another disk and leave a link: the ledger writes through it and
// a new ledger reads the history back through it. The ledger file itself stays a regular file.
TEST(MonthlyUsageLedger, AFolderThatIsALinkToTheUsersFolderIsFollowed) {
    Folder folder;
    const QString disk = folder.temporary.filePath(QStringLiteral("other-disk/monthly-usage"));
    QDir().mkpath(disk);
    ASSERT_TRUE(QFile::setPermissions(disk, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                QFile::ReadGroup | QFile::ExeGroup));
    QDir().mkpath(QFileInfo(folder.path).path());
    ASSERT_TRUE(QFile::link(disk, folder.path));
    MonthlyUsageLedger ledger(folder.path);
    record(ledger, at("2026-10-01T00:00:00Z"), 10);
    EXPECT_FALSE(ledger.lastError());
    EXPECT_TRUE(QFileInfo(folder.path).isSymLink());
    const QFileInfo written(disk + QStringLiteral("/monthly-v1.json"));
    ASSERT_TRUE(written.isFile());
    EXPECT_FALSE(written.isSymLink());
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(written.filePath()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    ASSERT_EQ(::stat(QFile::encodeName(disk).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u) << "the folder is made private";
    MonthlyUsageLedger reopened(folder.path);
    EXPECT_FALSE(reopened.lastError());
    EXPECT_EQ(reopened.request(QStringLiteral("2026-10"), utc, asOf).windows.size(), 1u);

    // Links that lead nowhere, to a file or to another user's folder are not followed: nothing is
    // written, whichever error the ledger reports (a link to a file already makes the history
    // unreadable when the ledger opens).
    const QString theirs =
        quillmere::testing::foreignFolder(folder.temporary.filePath(QStringLiteral("theirs")));
    for (const QString& target :
         {folder.temporary.filePath(QStringLiteral("nowhere")), written.filePath(), theirs}) {
        Folder other;
        QDir().mkpath(QFileInfo(other.path).path());
        ASSERT_TRUE(QFile::link(target, other.path));
        MonthlyUsageLedger refused(other.path);
        const Invalid::Case kind = failure([&] { record(refused, at("2026-10-01T00:00:00Z"), 10); });
        EXPECT_TRUE(kind == Invalid::persistence || kind == Invalid::observation) << target.toStdString();
        EXPECT_FALSE(QFileInfo::exists(folder.temporary.filePath(QStringLiteral("nowhere"))));
        EXPECT_EQ(QDir(theirs).entryList(QDir::Files).filter(QStringLiteral("monthly")), QStringList());
    }
}

// The ledger's folder is another user's, named directly or reached through a link: the history
// planted there (which the monthly report would show as the user's) is not read, nothing there is
// changed, and nothing is written there; the ledger is empty and refuses to record.
TEST(MonthlyUsageLedger, NothingInAnotherUsersFolderIsReadOrWritten) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs to give folders to another user";
    QByteArray history;
    {
        Folder own;
        MonthlyUsageLedger ledger(own.path);
        record(ledger, at("2026-10-01T00:00:00Z"), 10);
        history = read(own.file);
        ASSERT_FALSE(history.isEmpty());
    }
    Folder folder;
    const QString foreign =
        quillmere::testing::foreignFolder(folder.temporary.filePath(QStringLiteral("theirs")));
    ASSERT_NE(foreign, QStringLiteral("/"));
    const auto planted = quillmere::testing::plant(foreign + QStringLiteral("/monthly-v1.json"), history);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(folder.path).path()));
    ASSERT_TRUE(QFile::link(foreign, folder.path));
    const QStringList before = quillmere::testing::entriesBelow(foreign);
    for (const QString& where : {folder.path, foreign}) {
        SCOPED_TRACE(where.toStdString());
        MonthlyUsageLedger ledger(where);
        EXPECT_FALSE(ledger.lastError());
        EXPECT_TRUE(ledger.request(QStringLiteral("2026-10"), utc, asOf).windows.empty());
        EXPECT_EQ(failure([&] { record(ledger, at("2026-10-02T00:00:00Z"), 20); }), Invalid::persistence);
    }
    EXPECT_EQ(quillmere::testing::touched(planted), QString());
    EXPECT_EQ(quillmere::testing::entriesBelow(foreign), before);
}

TEST(MonthlyUsageLedger, AFailedWriteKeepsTheOldFileAndMemoryInStep) {
    Folder folder;
    MonthlyUsageLedger ledger(folder.path);
    record(ledger, at("2026-10-01T00:00:00Z"), 10);
    const QByteArray before = read(folder.file);
    // The folder's place taken by a link to another user's folder: the write is refused rather
    // than steered there.
    const QString moved = folder.temporary.filePath(QStringLiteral("moved"));
    ASSERT_TRUE(QDir().rename(folder.path, moved));
    const QString foreign = quillmere::testing::foreignFolder(moved);
    ASSERT_TRUE(QFile::link(foreign, folder.path));
    EXPECT_EQ(failure([&] { record(ledger, at("2026-10-02T00:00:00Z"), 20); }), Invalid::persistence);
    EXPECT_EQ(
        ledger.lastError(),
        QStringLiteral("Local usage history could not be read or saved. Existing history was preserved."));
    EXPECT_EQ(read(moved + QStringLiteral("/monthly-v1.json")), before);
    EXPECT_EQ(ledger.request(QStringLiteral("2026-10"), utc, asOf).windows[0].samples.size(), 1u);

    // A file where the folder should be: nothing can be created there either.
    QFile::remove(folder.path);
    ASSERT_TRUE(quillmere::testing::fileInTheWay(folder.path));
    EXPECT_EQ(failure([&] {
                  ledger.setDefaultSetting(
                      Baseline{QStringLiteral("baseline-0001"), QStringLiteral("gpt-6"), {}, {}},
                      Provider::openai);
              }),
              Invalid::persistence);
    EXPECT_FALSE(ledger.defaultSetting(Provider::openai));
}

// A failed write of the ledger is said as every owned file's is: by its kind and the error, once.
TEST(MonthlyUsageLedger, AFailedWriteIsReportedByItsKindOnce) {
    WriteFailures::shared().clear();
    Folder folder;
    MonthlyUsageLedger ledger(folder.path);
    ASSERT_TRUE(QDir().mkpath(folder.temporary.filePath(QStringLiteral("Quillmere"))));
    ASSERT_TRUE(quillmere::testing::fileInTheWay(folder.path));
    const qsizetype events = DebugMonitor::shared().events().size();
    EXPECT_EQ(failure([&] { record(ledger, at("2026-10-02T00:00:00Z"), 20); }), Invalid::persistence);
    EXPECT_EQ(failure([&] { record(ledger, at("2026-10-03T00:00:00Z"), 30); }), Invalid::persistence);
    ASSERT_EQ(WriteFailures::shared().failures().size(), 1);
    EXPECT_EQ(WriteFailures::shared().failures().front().kind, "usage ledger");
    EXPECT_EQ(WriteFailures::shared().failures().front().failedAttempts, 2);
    const QStringList said = DebugMonitor::shared().events().mid(events);
    ASSERT_EQ(said.size(), 1);
    EXPECT_TRUE(said.front().endsWith("Could not save the usage ledger: Not a directory"));
    EXPECT_FALSE(said.front().contains(folder.path));

    QFile::remove(folder.path);
    record(ledger, at("2026-10-04T00:00:00Z"), 40);
    EXPECT_TRUE(WriteFailures::shared().failures().front().writtenAgain);
    WriteFailures::shared().clear();
}

// A ledger over the bound is refused as too large without being read, though it holds a history
// the ledger would take were it read (valid JSON, padded with white space): just over the bound,
// and half as large again. Nothing in it is changed.
TEST(MonthlyUsageLedger, ALedgerOverTheBoundIsRefusedUnreadWhateverItHolds) {
    const QByteArray head = R"({"schemaVersion":1,"windows":[],"defaults":{"openai":)"
                            R"({"id":"baseline-0001","model":"gpt-6","effort":null,"speed":null}})";
    // The bound is 64 MiB: sizes written out, so that a changed bound shows.
    for (const qint64 size : {64LL * 1024 * 1024 + 1, 96LL * 1024 * 1024}) {
        SCOPED_TRACE(size);
        Folder folder;
        ASSERT_TRUE(QDir().mkpath(folder.path));
        // The padding sits inside the object, before its closing brace: the bytes are one valid
        // history of `size` bytes.
        QByteArray bytes = head;
        bytes += QByteArray(size - head.size() - 1, ' ');
        bytes += '}';
        ASSERT_EQ(bytes.size(), size);
        const auto planted = quillmere::testing::plant(folder.file, bytes, 0, ::geteuid());
        bytes = QByteArray();
        MonthlyUsageLedger ledger(folder.path);
        EXPECT_TRUE(ledger.lastError());
        EXPECT_FALSE(ledger.defaultSetting(Provider::openai));
        EXPECT_EQ(quillmere::testing::touched(planted), QString()) << "never read, never changed";
    }
}

// The ledger is a link of this user's to a file of this user's (a synced folder): it is read
// through the link, and written through it, so the link stays a link and its target holds the
// history. Its folder named with ".." after a link is where the system goes, and is made private
// there.
TEST(MonthlyUsageLedger, ALinkOfTheUsersIsWrittenThroughAndDotDotIsWhereTheSystemGoes) {
    {
        Folder folder;
        const QString synced = folder.temporary.filePath(QStringLiteral("synced/monthly-v1.json"));
        {
            Folder source;
            MonthlyUsageLedger ledger(source.path);
            record(ledger, at("2026-10-01T00:00:00Z"), 10);
            ASSERT_TRUE(QDir().mkpath(QFileInfo(synced).path()));
            ASSERT_TRUE(QFile::copy(source.file, synced));
        }
        ASSERT_TRUE(QDir().mkpath(folder.path));
        ASSERT_TRUE(QFile::link(synced, folder.file));
        MonthlyUsageLedger ledger(folder.path);
        ASSERT_FALSE(ledger.lastError());
        record(ledger, at("2026-10-02T00:00:00Z"), 20);
        EXPECT_TRUE(QFileInfo(folder.file).isSymLink()) << "the link stays a link";
        EXPECT_EQ(MonthlyUsageLedger(folder.path)
                      .request(QStringLiteral("2026-10"), utc, asOf)
                      .windows[0]
                      .samples.size(),
                  2u);
        EXPECT_EQ(mode(synced), 0600);
    }
    {
        Folder folder;
        const QString elsewhere = folder.temporary.filePath(QStringLiteral("elsewhere"));
        ASSERT_TRUE(QDir().mkpath(elsewhere + QStringLiteral("/sub")));
        ASSERT_TRUE(QDir().mkpath(folder.temporary.filePath(QStringLiteral("home/monthly-usage"))));
        ASSERT_EQ(::chmod(QFile::encodeName(folder.temporary.filePath(QStringLiteral("home/monthly-usage")))
                              .constData(),
                          0755),
                  0);
        ASSERT_TRUE(QFile::link(elsewhere + QStringLiteral("/sub"),
                                folder.temporary.filePath(QStringLiteral("home/lnk"))));
        const QString named = folder.temporary.filePath(QStringLiteral("home/lnk/../monthly-usage"));
        MonthlyUsageLedger ledger(named);
        record(ledger, at("2026-10-01T00:00:00Z"), 10);
        EXPECT_FALSE(ledger.lastError());
        EXPECT_TRUE(QFileInfo(elsewhere + QStringLiteral("/monthly-usage/monthly-v1.json")).isFile());
        EXPECT_EQ(mode(elsewhere + QStringLiteral("/monthly-usage")), 0700);
        EXPECT_FALSE(QFileInfo::exists(
            folder.temporary.filePath(QStringLiteral("home/monthly-usage/monthly-v1.json"))));
        EXPECT_EQ(mode(folder.temporary.filePath(QStringLiteral("home/monthly-usage"))), 0755)
            << "left as it was";
    }
}
