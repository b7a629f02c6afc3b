#include "desktop/checks/MonthlyUsageChecks.h"

#include "desktop/classification/ContractDecoding.h"
#include "desktop/usage/MonthlyUsage.h"
#include "desktop/usage/MonthlyUsageLedger.h"
#include "desktop/usage/MonthlyUsageViewModel.h"
#include "desktop/usage/MonthlyUsageWindowController.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QPixmap>
#include <QUuid>
#include <QWidget>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <sys/stat.h>

namespace quillmere::MonthlyUsageChecks {

using namespace MonthlyUsage;

CheckError::CheckError(int code, const QString& sentence)
    : std::runtime_error(QStringLiteral("Error Domain=MonthlyUsageChecks Code=%1 \"%2\"")
                             .arg(code)
                             .arg(sentence)
                             .toStdString()),
      code_(code), sentence_(sentence) {}

QString CheckError::description() const {
    return QString::fromStdString(what());
}

namespace {

// The suite's counter: a check adds one before it is judged, so a failure's code is its position.
class Counter {
public:
    explicit Counter(const checks::Reporter& report) : report_(report) {}

    void check(bool condition, const QString& sentence) {
        ++count_;
        if (report_)
            report_(condition, sentence);
        if (!condition)
            throw CheckError(count_, sentence);
    }
    // A check that is counted only when it fails.
    void checkUncounted(bool condition, const QString& sentence) {
        if (condition)
            return;
        ++count_;
        if (report_)
            report_(false, sentence);
        throw CheckError(count_, sentence);
    }
    // `action` must throw.
    template <typename F> void rejects(F action, const QString& sentence) {
        bool threw = false;
        try {
            action();
        } catch (const std::exception&) {
            threw = true;
        }
        check(threw, sentence);
    }
    int count() const { return count_; }

private:
    const checks::Reporter& report_;
    int count_ = 0;
};

struct Case {
    QString id;
    Request request;
    Report response;
    QJsonObject rawRequest;
    QJsonObject rawResponse;
};

struct Golden {
    bool synthetic = false;
    QString now;
    std::vector<Case> cases;
};

QString newID() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QDateTime instant(const char* text) {
    const auto ms = date(QString::fromLatin1(text));
    if (!ms)
        throw std::logic_error("a fixed time of the monthly checks does not parse");
    return QDateTime::fromMSecsSinceEpoch(*ms, Qt::UTC);
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error(QStringLiteral("could not write %1").arg(path).toStdString());
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(QStringLiteral("could not read %1").arg(path).toStdString());
    return file.readAll();
}

void makeFolder(const QString& path) {
    if (!QDir().mkpath(path))
        throw std::runtime_error(QStringLiteral("could not create %1").arg(path).toStdString());
}

Golden readGolden(const QString& path) {
    const QByteArray bytes = readFile(path);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        throw DecodingError(QStringLiteral("The golden fixture is not a JSON object."));
    const QJsonObject top = document.object();
    Golden golden;
    const auto synthetic = json::boolean(top, QStringLiteral("synthetic"));
    const auto now = json::string(top, QStringLiteral("now"));
    const auto cases = json::array(top, QStringLiteral("cases"));
    if (!synthetic.isPresent() || !now.isPresent() || !cases.isPresent())
        throw DecodingError(QStringLiteral("The golden fixture lacks \"synthetic\", \"now\" or \"cases\"."));
    golden.synthetic = synthetic.value;
    golden.now = now.value;
    for (const QJsonValue& value : cases.value) {
        if (!value.isObject())
            throw DecodingError(QStringLiteral("A golden case is not an object."));
        const QJsonObject object = value.toObject();
        const auto id = json::string(object, QStringLiteral("id"));
        const auto request = json::object(object, QStringLiteral("request"));
        const auto response = json::object(object, QStringLiteral("response"));
        if (!id.isPresent() || !request.isPresent() || !response.isPresent())
            throw DecodingError(QStringLiteral("A golden case lacks \"id\", \"request\" or \"response\"."));
        golden.cases.push_back({id.value, requestFromJson(request.value), reportFromJson(response.value),
                                request.value, response.value});
    }
    return golden;
}

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Lays the window out without putting it on a screen and writes what it shows as a PNG.
void capture(QWidget* window, const QString& path) {
    if (!window)
        return;
    window->setAttribute(Qt::WA_DontShowOnScreen, true);
    window->show();
    QApplication::processEvents();
    const QPixmap pixmap = window->grab();
    window->hide();
    if (!pixmap.isNull())
        pixmap.save(path, "PNG");
}

// ---- Golden replay -----------------------------------------------------------------------------------

void goldenReplay(Counter& counter, const Golden& golden, const QDir& output) {
    for (size_t i = 0; i < golden.cases.size(); ++i) {
        const Case& c = golden.cases[i];
        const QByteArray responseBytes = compact(c.rawResponse);
        const Report report = validatedReport(responseBytes, c.request);

        const QByteArray requestBytes = encode(c.request);
        counter.check(QJsonDocument::fromJson(requestBytes).object() == c.rawRequest,
                      QStringLiteral("wire roundtrip exactly matches golden required keys and nulls"));
        counter.check(report.windows.size() == c.response.windows.size() &&
                          !report.summary.monthlyUsedPercent,
                      QStringLiteral("decoder preserves every window and never creates a monthly percent"));

        const QString uiFolder = output.filePath(QStringLiteral("ui-%1").arg(i));
        auto ledger = std::make_shared<MonthlyUsageLedger>(uiFolder);
        MonthlyUsageWindowController controller(ledger, c.request.timeZone);
        controller.renderForTesting(c.request, report);
        const QString text = controller.renderedTextForTesting();

        counter.check(text.contains(QLatin1String("With Quillmere")) &&
                          text.contains(QLatin1String("Without Quillmere")),
                      QStringLiteral("both comparison columns are present"));
        if (report.windows.empty()) {
            counter.check(text.contains(QLatin1String("No quota observations")) &&
                              text.contains(QStringLiteral("—%")) && text.contains(QStringLiteral("—–—%")),
                          QStringLiteral("empty view does not invent zero percent"));
        } else {
            for (const Row& row : report.windows)
                if (row.withQuillmere.usedPercent)
                    counter.checkUncounted(
                        text.contains(QStringLiteral("Actual: ") +
                                      MonthlyUsageViewModel::percent(row.withQuillmere.usedPercent)),
                        QStringLiteral("actual percent remains visible for every row"));
        }
        if (report.windows.size() == 4) {
            counter.check(
                text.contains(QStringLiteral("105%–120%")) && text.contains(QStringLiteral("102%–115%")) &&
                    text.contains(QStringLiteral("95%–110%")) && text.contains(QStringLiteral("75%–90%")),
                QStringLiteral("all estimated ranges remain visible without clamping above100"));
            counter.check(text.contains(QLatin1String("2 estimated episodes")) &&
                              text.contains(QLatin1String("3 possible")),
                          QStringLiteral("overlapping windows preserve backend episode summary"));
            counter.check(text.contains(QLatin1String("Estimate sample:")) &&
                              text.contains(QLatin1String("First observed at limit:")),
                          QStringLiteral("actual and estimate timestamps are distinct and qualified"));
        }
        capture(controller.window(), output.filePath(QStringLiteral("synthetic-%1.png").arg(i)));
        writeFile(output.filePath(QStringLiteral("golden-request-%1.json").arg(i)), requestBytes);
        writeFile(output.filePath(QStringLiteral("golden-response-%1.json").arg(i)), responseBytes);
    }
}

// ---- Ledger story ----------------------------------------------------------------------------------

struct Story {
    const QDateTime weekStart = instant("2026-09-30T20:00:00Z");
    const QDateTime weekReset = instant("2026-10-07T20:00:00Z");
    const QDateTime asOf = instant("2026-10-15T12:00:00Z");
    const QDateTime preMonth = instant("2026-09-30T20:30:00Z");
    const QDateTime october = instant("2026-10-01T10:00:00Z");
    const QString scope = newID();
    const QString bucket = newID();

    void record(MonthlyUsageLedger& ledger, const QDateTime& start, const QDateTime& reset,
                const QDateTime& at, double percent, const QString& scopeID) const {
        ledger.record(Provider::openai, scopeID, bucket, Kind::weekly, start, reset, at, percent, asOf);
    }
    void record(MonthlyUsageLedger& ledger, const QDateTime& at, double percent) const {
        record(ledger, weekStart, weekReset, at, percent, scope);
    }
};

const MonthlyUsageLedger::Store& stored(const MonthlyUsageLedger& ledger) {
    return MonthlyUsageLedgerAccess::store(ledger);
}

void saveDefault(MonthlyUsageLedger& ledger, const Baseline& baseline) {
    if (!validBaseline(baseline))
        throw Invalid(Invalid::observation);
    MonthlyUsageLedger::Store next = stored(ledger);
    next.defaults.insert(rawValue(Provider::openai), baseline);
    MonthlyUsageLedgerAccess::commit(ledger, next);
}

void ledgerStory(Counter& counter, const QDir& output, const Story& story) {
    const QString jerusalem = QStringLiteral("Asia/Jerusalem");
    const QString utc = QStringLiteral("UTC");
    const QString octoberKey = QStringLiteral("2026-10");
    MonthlyUsageLedger ledger(output.filePath(QStringLiteral("ledger")));
    counter.check(ledger.request(octoberKey, jerusalem, story.asOf).windows.empty(),
                  QStringLiteral("opening a ledger does not backfill fake history"));

    story.record(ledger, story.preMonth, 100);
    story.record(ledger, story.preMonth, 100);
    counter.check(stored(ledger).windows.size() == 1 && stored(ledger).windows[0].samples.size() == 1,
                  QStringLiteral("refresh of the exact same provider observation is idempotent"));

    saveDefault(ledger, Baseline{newID(), QStringLiteral("gpt-6.1-sol"), Effort::high, std::nullopt});
    story.record(ledger, story.october, 100);
    {
        const auto& windows = stored(ledger).windows;
        counter.check(
            windows.size() == 1 && !windows[0].baseline && windows[0].samples.size() == 2,
            QStringLiteral("new default cannot reprice an open window; unchanged percentage in a later "
                           "month remains observed"));
        counter.check(
            std::any_of(windows[0].samples.begin(), windows[0].samples.end(),
                        [](const Sample& s) { return s.at == QLatin1String("2026-09-30T20:30:00.000Z"); }),
            QStringLiteral("pre-month crossing history is retained"));
    }

    const QDateTime nextReset = story.weekReset.addSecs(604800);
    story.record(ledger, story.weekReset, nextReset, story.weekReset.addSecs(60), 20, story.scope);
    const auto& afterNext = stored(ledger).windows;
    counter.check(
        afterNext.size() == 2 && afterNext[1].baseline &&
            afterNext[1].baseline->model == QLatin1String("gpt-6.1-sol") && !afterNext[1].baseline->speed,
        QStringLiteral("new reset creates separate window with real frozen default and unknown speed"));
    const QString frozenID =
        afterNext.size() == 2 && afterNext[1].baseline ? afterNext[1].baseline->id : QString();

    saveDefault(ledger, Baseline{newID(), QStringLiteral("gpt-6-astra"), Effort::medium, Speed::standard});
    counter.check(stored(ledger).windows[1].baseline && stored(ledger).windows[1].baseline->id == frozenID,
                  QStringLiteral("default edits do not alter existing window baseline"));

    const MonthlyUsageLedger reopened(output.filePath(QStringLiteral("ledger")));
    counter.check(
        stored(reopened).windows == stored(ledger).windows,
        QStringLiteral("quota history survives restart without recommendation acceptance or3day cutoff"));

    const Request october = ledger.request(octoberKey, jerusalem, story.asOf);
    bool counterfactual = october.coverage.completeForMonth;
    for (const Window& window : october.windows) {
        counterfactual = counterfactual || window.coverageComplete;
        for (const Sample& sample : window.samples)
            counterfactual = counterfactual || sample.withoutQuillmere.has_value();
    }
    counter.check(october.windows.size() == 2 && !counterfactual,
                  QStringLiteral("isolated samples are partial and cannot manufacture a counterfactual"));
    counter.check(ledger.request(QStringLiteral("2026-09"), utc, story.asOf).windows.size() == 1,
                  QStringLiteral("history navigation preserves straddling windows and timezone"));
    counter.check(ledger.request(QStringLiteral("2026-11"), utc, story.asOf).windows.empty(),
                  QStringLiteral("empty month never borrows observations from another month"));

    MonthlyUsageLedger steady(output.filePath(QStringLiteral("steady")));
    story.record(steady, story.preMonth, 70);
    story.record(steady, story.october, 70);
    const Request steadyRequest = steady.request(octoberKey, jerusalem, story.asOf);
    const MonthlyUsageViewModel steadyView(steadyRequest, std::nullopt);
    counter.check(!steadyRequest.windows.empty() && steadyRequest.windows[0].samples.size() == 2 &&
                      !steadyView.rows.empty() && steadyView.rows[0].actual == QLatin1String("Actual: 70%"),
                  QStringLiteral("unchanged70 across months still has a fresh actual October observation"));

    story.record(ledger, story.october.addSecs(60), 70);
    {
        const auto& samples = stored(ledger).windows[0].samples;
        counter.check(
            samples.back().usedPercent == 70 && samples.front().usedPercent == 100,
            QStringLiteral(
                "a percentage drop preserves history rather than inventing savings or a new reset"));
    }

    counter.rejects([&] { story.record(ledger, story.october.addSecs(120), 101); },
                    QStringLiteral("invalid percentage rejected"));
    counter.rejects(
        [&] {
            story.record(ledger, story.weekStart, story.weekReset, story.october.addSecs(180), 50,
                         QStringLiteral("https://accounts.example.test/account/1234"));
        },
        QStringLiteral("raw account URL rejected"));
    counter.rejects([&] { ledger.request(octoberKey, QStringLiteral("Unknown/Zone"), story.asOf); },
                    QStringLiteral("invalid timezone rejected"));
    counter.rejects(
        [&] { story.record(ledger, story.october.addSecs(240), std::numeric_limits<double>::quiet_NaN()); },
        QStringLiteral("NaN observation rejected"));

    const QByteArray wire = encode(october);
    bool privateWire = true;
    for (const char* word :
         {"potentialPercent", "prompt", "conversation", "tokens", "price", "recommendationID"})
        privateWire = privateWire && !wire.contains(word);
    counter.check(privateWire, QStringLiteral("wire contains no recommendation or conversation data"));
    writeFile(output.filePath(QStringLiteral("ledger-request.json")), wire);
    writeFile(output.filePath(QStringLiteral("steady-request.json")), encode(steadyRequest));

    // Large histories: kept whole on disk, refused whole in a request.
    for (const int samples : {4096, 4097}) {
        Window window = stored(ledger).windows[1];
        const qint64 start = *date(window.startsAt);
        window.samples.clear();
        for (int j = 1; j <= samples; ++j) {
            Sample sample{newID(), canonical(start + qint64(j) * 1000), 20, std::nullopt};
            if (samples == 4096)
                sample.withoutQuillmere =
                    Estimate{window.baseline->id, 99, 104, Estimate::Basis::quotaUnits, newID(), true};
            window.samples.push_back(std::move(sample));
        }
        const QString folder = output.filePath(QStringLiteral("bulk-%1").arg(samples));
        makeFolder(folder);
        writeFile(folder + QStringLiteral("/monthly-v1.json"),
                  json::write(json::Object{{QStringLiteral("schemaVersion"), 1},
                                           {QStringLiteral("defaults"), json::Object{}},
                                           {QStringLiteral("windows"), json::Array{toJson(window)}}}));
        MonthlyUsageLedger bulk(folder);
        counter.check(stored(bulk).windows.size() == 1,
                      QStringLiteral("large valid history is preserved locally"));
        bool refused = false;
        try {
            bulk.request(octoberKey, utc, story.asOf);
        } catch (const Invalid& error) {
            refused = error.kind() == Invalid::requestLimit;
        }
        counter.check(refused, samples == 4096
                                   ? QStringLiteral("over1millionbytes does not silently truncate")
                                   : QStringLiteral("over4096samples does not silently truncate"));
    }
}

// ---- Tampered answers, private and corrupt files
// ------------------------------------------------------------

void tampering(Counter& counter, const Case& partial, const QDir& output) {
    const auto refusedWith = [&](const std::function<void(QJsonObject&)>& change) {
        QJsonObject response = partial.rawResponse;
        change(response);
        try {
            validatedReport(compact(response), partial.request);
        } catch (const std::exception&) {
            return true;
        }
        return false;
    };
    const auto setSummaryEpisodes = [](qint64 value) {
        return [value](QJsonObject& response) {
            QJsonObject summary = response.value(QStringLiteral("summary")).toObject();
            QJsonObject actual = summary.value(QStringLiteral("withQuillmere")).toObject();
            actual.insert(QStringLiteral("observedLimitEpisodes"), value);
            summary.insert(QStringLiteral("withQuillmere"), actual);
            response.insert(QStringLiteral("summary"), summary);
        };
    };
    const auto setFirstRow = [](const QString& key, const QJsonValue& value) {
        return [key, value](QJsonObject& response) {
            QJsonArray rows = response.value(QStringLiteral("windows")).toArray();
            QJsonObject row = rows.at(0).toObject();
            QJsonObject actual = row.value(QStringLiteral("withQuillmere")).toObject();
            actual.insert(key, value);
            row.insert(QStringLiteral("withQuillmere"), actual);
            rows.replace(0, row);
            response.insert(QStringLiteral("windows"), rows);
        };
    };

    counter.check(refusedWith([](QJsonObject& r) {
                      r.insert(QStringLiteral("coverage"), QStringLiteral("complete_month"));
                  }),
                  QStringLiteral("a partial local history cannot become a complete month in a response"));
    // 2 is within the range of the counts, so only the rule that episodes are at most the observed
    // limit windows (and those at most the observed windows) can refuse it.
    counter.check(refusedWith(setSummaryEpisodes(-1)) && refusedWith(setSummaryEpisodes(2)),
                  QStringLiteral("invalid episode counts fail closed"));
    counter.check(refusedWith(setFirstRow(QStringLiteral("usedPercent"), 100)),
                  QStringLiteral("server cannot replace local measured70 with100"));

    struct stat info {};
    const QByteArray ledgerFile =
        QFile::encodeName(output.filePath(QStringLiteral("ledger/monthly-v1.json")));
    counter.check(::stat(ledgerFile.constData(), &info) == 0 && (info.st_mode & 07777) == 0600,
                  QStringLiteral("local history is private"));

    counter.check(refusedWith(setFirstRow(QStringLiteral("status"), QStringLiteral("invented_status"))),
                  QStringLiteral("unknown response status cannot establish a new quota claim"));
}

void corruptFile(Counter& counter, const QDir& output) {
    const QString folder = output.filePath(QStringLiteral("corrupt"));
    makeFolder(folder);
    const QString file = folder + QStringLiteral("/monthly-v1.json");
    const QByteArray broken("broken history");
    writeFile(file, broken);
    MonthlyUsageLedger ledger(folder);
    MonthlyUsageLedger::Store next = stored(ledger);
    next.defaults.insert(rawValue(Provider::openai),
                         Baseline{newID(), QStringLiteral("gpt-6-sol"), std::nullopt, std::nullopt});
    bool threw = false;
    try {
        MonthlyUsageLedgerAccess::commit(ledger, next);
    } catch (const Invalid&) {
        threw = true;
    }
    counter.check(threw, QStringLiteral("corrupt history is not silently replaced"));
    counter.check(readFile(file) == broken, QStringLiteral("last history preserved after error"));
}

// Every name the suite writes into its output folder, files and ledger folders alike.
QStringList outputNames() {
    QStringList names;
    for (int i = 0; i < 3; ++i)
        names << QStringLiteral("synthetic-%1.png").arg(i) << QStringLiteral("golden-request-%1.json").arg(i)
              << QStringLiteral("golden-response-%1.json").arg(i) << QStringLiteral("ui-%1").arg(i);
    names << QStringLiteral("ledger-request.json") << QStringLiteral("steady-request.json")
          << QStringLiteral("ledger") << QStringLiteral("steady") << QStringLiteral("bulk-4096")
          << QStringLiteral("bulk-4097") << QStringLiteral("corrupt");
    return names;
}

// The output folder is created when missing. The run never replaces or deletes anything: an
// earlier run's ledgers would make the ledgers it opens start non-empty, and its files would be
// overwritten, so a folder that already holds one of the suite's own outputs is refused before
// anything is written. Anything else in the folder is left as it is.
void requireFreeOutputNames(const QString& output) {
    makeFolder(output);
    const QDir folder(output);
    for (const QString& name : outputNames()) {
        // lstat: a dangling link under one of the names counts as taken too.
        struct stat status {};
        if (::lstat(QFile::encodeName(folder.filePath(name)).constData(), &status) == 0)
            throw std::runtime_error(
                QStringLiteral("the output folder %1 already holds %2 from an earlier run; "
                               "give a new folder or one without the suite's outputs "
                               "(nothing in it is replaced or deleted)")
                    .arg(QDir::toNativeSeparators(output), name)
                    .toStdString());
    }
}

} // namespace

int run(const QString& fixture, const QString& output, const checks::Reporter& report) {
    requireFreeOutputNames(output);
    const QDir folder(output);
    const Golden golden = readGolden(fixture);
    Counter counter(report);
    counter.check(golden.synthetic && golden.cases.size() == 3,
                  QStringLiteral("golden fixture remains explicitly synthetic"));
    goldenReplay(counter, golden, folder);
    const Story story;
    ledgerStory(counter, folder, story);
    tampering(counter, golden.cases[2], folder);
    corruptFile(counter, folder);
    return counter.count();
}

int runFromCommandLine(int argc, char** argv) {
    std::unique_ptr<QApplication> application;
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        application = std::make_unique<QApplication>(argc, argv);
    try {
        const int passed = run(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
        std::fprintf(stdout, "Monthly usage checks: %d/%d passed\n", passed, passed);
        std::fflush(stdout);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Monthly usage check failed: %s\n", error.what());
        std::fflush(stderr);
        return 1;
    }
}

} // namespace quillmere::MonthlyUsageChecks
