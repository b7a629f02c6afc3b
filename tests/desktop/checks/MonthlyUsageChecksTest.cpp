#include "desktop/checks/MonthlyUsageChecks.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

QString goldenPath() {
    return QStringLiteral(QUILLMERE_SOURCE_DIR "/tests/fixtures/monthly/golden.json");
}

QJsonObject golden() {
    QFile file(goldenPath());
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return QJsonDocument::fromJson(file.readAll()).object();
}

QString writeFixture(const QTemporaryDir& dir, const QJsonObject& fixture) {
    const QString path = dir.filePath(QStringLiteral("fixture.json"));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(fixture).toJson());
    return path;
}

} // namespace

TEST(MonthlyUsageChecks, GoldenFixturePassesEveryCheckAndLeavesItsOutputs) {
    QTemporaryDir dir;
    checks::CheckLog log;
    const QString output = dir.filePath(QStringLiteral("out"));
    const int passed = MonthlyUsageChecks::run(goldenPath(), output, log.reporter());
    EXPECT_EQ(passed, MonthlyUsageChecks::expectedCheckCount);
    EXPECT_EQ(log.count(), MonthlyUsageChecks::expectedCheckCount);
    EXPECT_TRUE(log.failures().isEmpty()) << log.failures().join(u'\n').toStdString();

    for (int i = 0; i < 3; ++i) {
        const QImage capture(output + QStringLiteral("/synthetic-%1.png").arg(i));
        EXPECT_EQ(capture.size(), QSize(920, 740)) << i;
        EXPECT_TRUE(QFile::exists(output + QStringLiteral("/golden-request-%1.json").arg(i)));
        EXPECT_TRUE(QFile::exists(output + QStringLiteral("/golden-response-%1.json").arg(i)));
    }
    QFile corrupt(output + QStringLiteral("/corrupt/monthly-v1.json"));
    ASSERT_TRUE(corrupt.open(QIODevice::ReadOnly));
    EXPECT_EQ(corrupt.readAll(), QByteArray("broken history"));
}

TEST(MonthlyUsageChecks, AFixtureThatIsNotSyntheticFailsTheFirstCheck) {
    QTemporaryDir dir;
    QJsonObject fixture = golden();
    fixture.insert(QStringLiteral("synthetic"), false);
    try {
        MonthlyUsageChecks::run(writeFixture(dir, fixture), dir.filePath(QStringLiteral("out")));
        FAIL() << "the run passed";
    } catch (const MonthlyUsageChecks::CheckError& error) {
        EXPECT_EQ(error.code(), 1);
        EXPECT_EQ(
            error.description(),
            QStringLiteral(
                "Error Domain=MonthlyUsageChecks Code=1 \"golden fixture remains explicitly synthetic\""));
    }
}

TEST(MonthlyUsageChecks, AGoldenRequestWithAMissingNullFailsTheRoundTrip) {
    QTemporaryDir dir;
    QJsonObject fixture = golden();
    QJsonArray cases = fixture.value(QStringLiteral("cases")).toArray();
    QJsonObject second = cases.at(1).toObject();
    QJsonObject request = second.value(QStringLiteral("request")).toObject();
    QJsonArray windows = request.value(QStringLiteral("windows")).toArray();
    QJsonObject window = windows.at(0).toObject();
    QJsonObject baseline = window.value(QStringLiteral("baseline")).toObject();
    baseline.remove(QStringLiteral("speed")); // the encoder writes "speed": null
    window.insert(QStringLiteral("baseline"), baseline);
    windows.replace(0, window);
    request.insert(QStringLiteral("windows"), windows);
    second.insert(QStringLiteral("request"), request);
    cases.replace(1, second);
    fixture.insert(QStringLiteral("cases"), cases);
    try {
        MonthlyUsageChecks::run(writeFixture(dir, fixture), dir.filePath(QStringLiteral("out")));
        FAIL() << "the run passed";
    } catch (const MonthlyUsageChecks::CheckError& error) {
        EXPECT_EQ(error.code(), 6);
        EXPECT_EQ(error.sentence(),
                  QStringLiteral("wire roundtrip exactly matches golden required keys and nulls"));
    }
}

TEST(MonthlyUsageChecks, AGoldenAnswerTheValidatorRefusesEndsTheRun) {
    QTemporaryDir dir;
    QJsonObject fixture = golden();
    QJsonArray cases = fixture.value(QStringLiteral("cases")).toArray();
    QJsonObject first = cases.at(0).toObject();
    QJsonObject response = first.value(QStringLiteral("response")).toObject();
    response.insert(QStringLiteral("coverage"), QStringLiteral("partial_month"));
    first.insert(QStringLiteral("response"), response);
    cases.replace(0, first);
    fixture.insert(QStringLiteral("cases"), cases);
    EXPECT_ANY_THROW(
        MonthlyUsageChecks::run(writeFixture(dir, fixture), dir.filePath(QStringLiteral("out"))));
}

// An earlier run's outputs are never replaced or deleted: a folder that already holds any one of
// the suite's own outputs is refused before anything is written. Anything else in the folder
// (a person's notes, a hidden file) is no reason to refuse; the run writes beside it and leaves it.
TEST(MonthlyUsageChecks, AFolderHoldingOneOfTheSuitesOutputsIsRefusedAndLeftAsItWas) {
    QTemporaryDir dir;
    const QString output = dir.filePath(QStringLiteral("out"));
    EXPECT_EQ(MonthlyUsageChecks::run(goldenPath(), output), MonthlyUsageChecks::expectedCheckCount);
    const QStringList first = QDir(output).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    QFile ledger(output + QStringLiteral("/ledger/monthly-v1.json"));
    ASSERT_TRUE(ledger.open(QIODevice::ReadOnly));
    const QByteArray history = ledger.readAll();
    ledger.close();

    auto expectRefused = [](const QString& folder) {
        checks::CheckLog log;
        try {
            MonthlyUsageChecks::run(goldenPath(), folder, log.reporter());
            ADD_FAILURE() << "a run into a folder holding an earlier output passed";
        } catch (const MonthlyUsageChecks::CheckError&) {
            ADD_FAILURE() << "refused as a failed check rather than before the checks";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find("from an earlier run"), std::string::npos)
                << error.what();
        }
        EXPECT_EQ(log.count(), 0);
    };
    expectRefused(output);
    EXPECT_EQ(QDir(output).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), first);
    ASSERT_TRUE(ledger.open(QIODevice::ReadOnly));
    EXPECT_EQ(ledger.readAll(), history);

    // Each kind of output alone is enough: a ledger folder, a request file, a capture, and a link
    // left under an output's name that points nowhere.
    for (const char* name : {"ledger", "steady-request.json", "synthetic-2.png", "bulk-4097"}) {
        SCOPED_TRACE(name);
        const QString folder = dir.filePath(QStringLiteral("one-") + QLatin1String(name));
        ASSERT_TRUE(QDir().mkpath(folder));
        const QString taken = folder + u'/' + QLatin1String(name);
        if (QLatin1String(name) == QLatin1String("ledger"))
            ASSERT_TRUE(QDir().mkpath(taken));
        else if (QLatin1String(name) == QLatin1String("bulk-4097"))
            ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("nowhere")), taken));
        else {
            QFile file(taken);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("earlier");
        }
        expectRefused(folder);
        EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
                  QStringList({QLatin1String(name)}));
    }

    const QString mine = dir.filePath(QStringLiteral("mine"));
    QDir().mkpath(mine);
    for (const QString& name : {QStringLiteral("notes.txt"), QStringLiteral(".hidden")}) {
        QFile keep(mine + u'/' + name);
        ASSERT_TRUE(keep.open(QIODevice::WriteOnly));
        keep.write("mine");
    }
    EXPECT_EQ(MonthlyUsageChecks::run(goldenPath(), mine), MonthlyUsageChecks::expectedCheckCount);
    for (const QString& name : {QStringLiteral("notes.txt"), QStringLiteral(".hidden")}) {
        QFile kept(mine + u'/' + name);
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), "mine") << name.toStdString();
    }
    QStringList expected = first;
    expected << QStringLiteral("notes.txt");
    QStringList written = QDir(mine).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    expected.sort();
    written.sort();
    EXPECT_EQ(written, expected) << "the run writes exactly its outputs beside the person's files";
}
