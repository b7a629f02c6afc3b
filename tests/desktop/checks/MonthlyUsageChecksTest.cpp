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

// An earlier run's outputs, or anything else in the folder, are never replaced or deleted: a run
// into a folder that is not empty is refused before it writes anything.
TEST(MonthlyUsageChecks, AFolderThatIsNotEmptyIsRefusedAndLeftAsItWas) {
    QTemporaryDir dir;
    const QString output = dir.filePath(QStringLiteral("out"));
    EXPECT_EQ(MonthlyUsageChecks::run(goldenPath(), output), MonthlyUsageChecks::expectedCheckCount);
    const QStringList first = QDir(output).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    QFile ledger(output + QStringLiteral("/ledger/monthly-v1.json"));
    ASSERT_TRUE(ledger.open(QIODevice::ReadOnly));
    const QByteArray history = ledger.readAll();
    ledger.close();

    const QString mine = dir.filePath(QStringLiteral("mine"));
    QDir().mkpath(mine);
    for (const QString& name : {QStringLiteral("notes.txt"), QStringLiteral(".hidden")}) {
        QFile keep(mine + u'/' + name);
        ASSERT_TRUE(keep.open(QIODevice::WriteOnly));
        keep.write("mine");
    }
    for (const QString& folder : {output, mine}) {
        checks::CheckLog log;
        try {
            MonthlyUsageChecks::run(goldenPath(), folder, log.reporter());
            FAIL() << "a run into a folder that is not empty passed";
        } catch (const MonthlyUsageChecks::CheckError&) {
            FAIL() << "refused as a failed check rather than before the checks";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find("is not empty"), std::string::npos) << error.what();
        }
        EXPECT_EQ(log.count(), 0);
    }
    EXPECT_EQ(QDir(output).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), first);
    ASSERT_TRUE(ledger.open(QIODevice::ReadOnly));
    EXPECT_EQ(ledger.readAll(), history);
    EXPECT_EQ(QDir(mine).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList({QStringLiteral(".hidden"), QStringLiteral("notes.txt")}));
}
