#include "desktop/usage/MonthlyUsageWindowController.h"
#include "desktop/usage/MonthlyUsageTestSupport.h"
#include "desktop/usage/MonthlyUsageViewModel.h"
#include "support/LoopbackServer.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::MonthlyUsage;
using quillmere::testing::LoopbackServer;

namespace {

bool waitUntil(const std::function<bool()>& done, int milliseconds = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return done();
}

const QString updating = QStringLiteral("Updating report from saved quota observations…");
const QString arrived = QStringLiteral("Local history · Stateless comparison · Learning off");
const QString unavailable = QStringLiteral(
    "Report unavailable. Saved actual percentages remain visible; estimated comparison is unknown.");

struct ReportWindow {
    QTemporaryDir temporary;
    LoopbackServer server;
    std::shared_ptr<MonthlyUsageLedger> ledger =
        std::make_shared<MonthlyUsageLedger>(temporary.filePath(QStringLiteral("monthly-usage")));
    std::unique_ptr<MonthlyUsageWindowController> controller;
    const QDateTime now = QDateTime::currentDateTimeUtc();

    ReportWindow() {
        controller = std::make_unique<MonthlyUsageWindowController>(
            ledger, QStringLiteral("UTC"),
            MonthlyUsageReportService{server.url(QString::fromLatin1(MonthlyUsageReportService::path))});
        controller->monthField()->setText(month(now.toMSecsSinceEpoch(), QTimeZone::utc()));
    }
    void recordThisMonth(double percent) {
        // A window around now, observed a minute ago.
        const QDateTime start = now.addSecs(-60);
        ledger->record(Provider::openai, QStringLiteral("scope-0001"), QStringLiteral("bucket-0001"),
                       Kind::session, start, start.addSecs(3600), now.addSecs(-30), percent, now);
    }
    void serve(int status = 200, std::chrono::milliseconds delay = {}) {
        server.post(MonthlyUsageReportService::path, [status, delay](const httplib::Request& request,
                                                                     httplib::Response& response) {
            if (delay.count() > 0)
                std::this_thread::sleep_for(delay);
            response.status = status;
            response.set_content(status == 200 ? quillmere::testing::answerWithoutEstimates(
                                                     decodeRequest(QByteArray::fromStdString(request.body)))
                                                     .toStdString()
                                               : std::string("{}"),
                                 "application/json");
        });
    }
    QString status() const { return controller->statusText(); }
    QString text() const { return controller->renderedTextForTesting(); }
};

} // namespace

TEST(MonthlyUsageWindowController, ItsControlsAsBuilt) {
    ReportWindow w;
    EXPECT_TRUE(w.status().isEmpty());
    EXPECT_EQ(w.controller->window()->windowTitle(), QStringLiteral("Quillmere · Monthly usage"));
    EXPECT_EQ(w.controller->window()->minimumSize(), QSize(740, 520));
    EXPECT_EQ(w.controller->effortPopUp()->count(), 8);
    EXPECT_EQ(w.controller->speedPopUp()->count(), 4);
    EXPECT_TRUE(w.controller->defaultGroup()->isHidden());
    w.controller->toggleButton()->click();
    EXPECT_FALSE(w.controller->defaultGroup()->isHidden());
    EXPECT_EQ(w.controller->toggleButton()->text(), QStringLiteral("Hide default settings"));
    w.controller->toggleButton()->click();
    EXPECT_EQ(w.controller->toggleButton()->text(), QStringLiteral("Comparison default settings"));
}

// The window's zone is the system's, given the way a person sets it: through TZ, by any name of
// the zone database. Only a zone no database names falls back to UTC.
TEST(MonthlyUsageWindowController, TheSystemZoneComesThroughTZByAnyOfItsNames) {
    const QByteArray saved = qgetenv("TZ");
    const bool wasSet = qEnvironmentVariableIsSet("TZ");
    const struct {
        const char* tz;
        const char* zone;
    } rows[] = {{"Asia/Calcutta", "Asia/Calcutta"},
                {":US/Eastern", "US/Eastern"},
                {"Etc/UTC", "Etc/UTC"},
                {"Europe/Kiev", "Europe/Kiev"},
                {"EST5", "UTC"},
                {"Unknown/Zone", "UTC"}};
    for (const auto& row : rows) {
        qputenv("TZ", row.tz);
        EXPECT_EQ(MonthlyUsageWindowController::systemTimeZone(), QString::fromLatin1(row.zone)) << row.tz;
    }
    if (wasSet)
        qputenv("TZ", saved);
    else
        qunsetenv("TZ");

    // A request in such a zone is built in it, not refused.
    QTemporaryDir temporary;
    MonthlyUsageLedger ledger(temporary.filePath(QStringLiteral("monthly-usage")));
    EXPECT_EQ(ledger
                  .request(QStringLiteral("2026-10"), QStringLiteral("Asia/Calcutta"),
                           QDateTime::currentDateTimeUtc())
                  .timeZone,
              QStringLiteral("Asia/Calcutta"));
}

TEST(MonthlyUsageWindowController, MonthsTheLedgerRefusesReplaceTheReportArea) {
    ReportWindow w;
    for (const char* month : {"2026-13", "1999-01", "2026-1"}) {
        w.controller->monthField()->setText(QLatin1String(month));
        w.controller->refreshReport();
        EXPECT_EQ(w.status(), QStringLiteral("No history was replaced or silently omitted."));
        EXPECT_EQ(
            w.text(),
            QStringLiteral("The usage observation could not be verified. No quota values were inferred."));
    }
    EXPECT_TRUE(w.server.requests().empty());
}

TEST(MonthlyUsageWindowController, AnEmptyMonthSendsNothing) {
    ReportWindow w;
    w.serve();
    w.controller->refreshReport();
    EXPECT_EQ(
        w.status(),
        QStringLiteral("Local history only · No verified provider quota adapter connected · Learning off"));
    EXPECT_TRUE(w.text().contains(QStringLiteral("No quota observations yet")));
    EXPECT_TRUE(w.text().contains(QStringLiteral("No quota observations for this month yet")));
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.server.requests().empty());
}

TEST(MonthlyUsageWindowController, AVerifiedReportReplacesTheLocalView) {
    ReportWindow w;
    w.recordThisMonth(42);
    w.serve();
    w.controller->refreshReport();
    EXPECT_EQ(w.status(), updating);
    EXPECT_TRUE(
        w.text().contains(QStringLiteral("Observed percentages below · Episode report not available")));
    ASSERT_TRUE(waitUntil([&] { return w.status() == arrived; })) << w.status().toStdString();
    EXPECT_TRUE(w.text().contains(QStringLiteral("0 newly observed limit episodes this month")));
    EXPECT_TRUE(w.text().contains(QStringLiteral("Actual: 42%")));

    // What a person sees, with the default settings open: written for a look, not compared.
    w.controller->toggleButton()->click();
    QWidget* window = w.controller->window();
    window->setAttribute(Qt::WA_DontShowOnScreen, true);
    window->show();
    QCoreApplication::processEvents();
    QDir().mkpath(QStringLiteral(QUILLMERE_BINARY_DIR "/captures"));
    EXPECT_TRUE(
        window->grab().save(QStringLiteral(QUILLMERE_BINARY_DIR "/captures/monthly-usage-report.png")));
    window->hide();
}

TEST(MonthlyUsageWindowController, AFailedReportKeepsTheActualPercentages) {
    ReportWindow w;
    w.recordThisMonth(42);
    w.serve(500);
    w.controller->refreshReport();
    ASSERT_TRUE(waitUntil([&] { return w.status() == unavailable; })) << w.status().toStdString();
    EXPECT_TRUE(w.text().contains(QStringLiteral("Actual: 42%")));
    EXPECT_TRUE(w.text().contains(QStringLiteral("Episode report not available")));
}

TEST(MonthlyUsageWindowController, OnlyTheLatestRefreshReachesTheWindow) {
    ReportWindow w;
    w.recordThisMonth(42);
    w.serve(200, std::chrono::milliseconds(300));
    w.controller->refreshReport();
    w.controller->refreshReport();
    ASSERT_TRUE(waitUntil([&] { return w.status() == arrived; }));
    // A late result of the first refresh would have rendered a second time; nothing more changes.
    waitUntil([] { return false; }, 600);
    EXPECT_EQ(w.status(), arrived);
    EXPECT_LE(w.server.requests().size(), 2u);

    // A window closed while its report is on the way is not touched by it.
    w.controller->refreshReport();
    w.controller.reset();
    waitUntil([] { return false; }, 500);
}

TEST(MonthlyUsageWindowController, DefaultsAreLoadedAndSavedPerProvider) {
    ReportWindow w;
    w.controller->modelField()->setText(QStringLiteral("  sonnet-5 \n"));
    w.controller->providerPopUp()->setCurrentIndex(1);
    w.controller->effortPopUp()->setCurrentIndex(3); // "medium"
    w.controller->saveDefault();
    EXPECT_EQ(
        w.status(),
        QStringLiteral("Default saved for future windows. Existing windows retain their original default."));
    const auto saved = w.ledger->defaultSetting(Provider::anthropic);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->model, QStringLiteral("sonnet-5"));
    EXPECT_EQ(saved->effort, Effort::medium);
    EXPECT_FALSE(saved->speed);
    EXPECT_EQ(saved->id.size(), 36);

    w.controller->providerPopUp()->setCurrentIndex(0);
    w.controller->loadDefault();
    EXPECT_TRUE(w.controller->modelField()->text().isEmpty());
    EXPECT_EQ(w.controller->effortPopUp()->currentIndex(), 0);
    w.controller->saveDefault();
    EXPECT_EQ(w.status(),
              QStringLiteral("The usage observation could not be verified. No quota values were inferred."));
    EXPECT_FALSE(w.ledger->defaultSetting(Provider::openai));

    w.controller->providerPopUp()->setCurrentIndex(1);
    w.controller->loadDefault();
    EXPECT_EQ(w.controller->modelField()->text(), QStringLiteral("sonnet-5"));
    EXPECT_EQ(w.controller->effortPopUp()->currentText(), QStringLiteral("medium"));
    EXPECT_EQ(w.controller->speedPopUp()->currentText(), QStringLiteral("Speed unknown"));
}

TEST(MonthlyUsageViewModel, PercentagesTimesAndLabels) {
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    EXPECT_EQ(MonthlyUsageViewModel::percent(std::nullopt, english), QStringLiteral("—%"));
    EXPECT_EQ(MonthlyUsageViewModel::percent(0, english), QStringLiteral("0%"));
    EXPECT_EQ(MonthlyUsageViewModel::percent(100, english), QStringLiteral("100%"));
    EXPECT_EQ(MonthlyUsageViewModel::percent(12.34, english), QStringLiteral("12.3%"));
    EXPECT_EQ(MonthlyUsageViewModel::percent(100000, english), QStringLiteral("100000%"));
    EXPECT_EQ(MonthlyUsageViewModel::percent(12.5, QLocale(QLocale::German, QLocale::Germany)),
              QStringLiteral("12,5%"));

    Request request;
    request.month = QStringLiteral("2026-10");
    request.timeZone = QStringLiteral("Nowhere/Special");
    MonthlyUsage::Window window;
    window.provider = Provider::anthropic;
    window.kind = Kind::modelWeekly;
    window.startsAt = QStringLiteral("2026-10-01T00:00:00Z");
    window.resetsAt = QStringLiteral("2026-10-08T00:00:00");
    window.samples = {
        {QStringLiteral("sample-0001"), QStringLiteral("2026-09-30T23:00:00Z"), 100, std::nullopt},
        {QStringLiteral("sample-0002"), QStringLiteral("2026-10-02T00:00:00Z"), 40, std::nullopt}};
    request.windows = {window};
    const MonthlyUsageViewModel model(request, std::nullopt, english);
    ASSERT_EQ(model.rows.size(), 1u);
    EXPECT_EQ(model.rows[0].title, QStringLiteral("Claude · Model weekly window · 1 Oct 2026, 12:00 AM"))
        << "UTC";
    EXPECT_EQ(model.rows[0].actual, QStringLiteral("Actual: 40%"));
    EXPECT_EQ(model.rows[0].estimated, QStringLiteral("Estimated at default: —–—% · Not enough data"));
    EXPECT_EQ(model.rows[0].detail,
              QStringLiteral("Default: not recorded for this window\nActual sample: 2 Oct 2026, "
                             "12:00 AM\nFirst observed at limit: 30 Sep 2026, 11:00 PM\nReset: "
                             "Not observed · Partial window"));
}
