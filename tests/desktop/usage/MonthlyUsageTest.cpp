#include "desktop/usage/MonthlyUsage.h"
#include "desktop/classification/ContractDecoding.h"
#include "desktop/usage/MonthlyUsageTestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace quillmere;
using namespace quillmere::MonthlyUsage;
using quillmere::testing::baseline;
using quillmere::testing::estimate;
using quillmere::testing::sample;
using quillmere::testing::window;

namespace {

QJsonObject object(const char* text) {
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

const char* windowJson =
    R"({"id":"window-0001","scopeId":"scope-aaaa","provider":"openai","bucketId":"bucket-0001",
  "kind":"model_weekly","startsAt":"2026-10-01T00:00:00.000Z","resetsAt":"2026-10-08T00:00:00.000Z",
  "coverageComplete":false,"samples":[{"id":"sample-0001","at":"2026-10-02T00:00:00.000Z","usedPercent":12.5}]})";

} // namespace

TEST(MonthlyUsageRecords, AbsentOptionalsAreWrittenAsNullAndReadBackFromMissingKeys) {
    const Window read = windowFromJson(object(windowJson));
    EXPECT_FALSE(read.baseline);
    EXPECT_EQ(read.kind, Kind::modelWeekly);
    const QByteArray written = json::write(toJson(read));
    EXPECT_TRUE(written.contains(R"("baseline":null)"));
    EXPECT_TRUE(written.contains(R"("withoutQuillmere":null)"));
    EXPECT_TRUE(written.contains(R"("kind":"model_weekly")"));
    EXPECT_EQ(windowFromJson(QJsonDocument::fromJson(written).object()), read);

    Window withBaseline = read;
    withBaseline.baseline =
        Baseline{QStringLiteral("baseline-0001"), QStringLiteral("gpt-6"), std::nullopt, std::nullopt};
    EXPECT_TRUE(json::write(toJson(withBaseline)).contains(R"("effort":null,"speed":null)"));

    Request request;
    request.timeZone = QStringLiteral("Asia/Jerusalem");
    EXPECT_TRUE(encode(request).contains(R"("timeZone":"Asia\/Jerusalem")"));
    EXPECT_TRUE(encode(request).contains(R"("coverage":{"completeForMonth":false})"));
}

TEST(MonthlyUsageRecords, RequiredKeysWrongTypesAndUnknownEnumerationTextsFailTheDocument) {
    for (const char* key : {"coverageComplete", "samples", "id", "startsAt"}) {
        QJsonObject broken = object(windowJson);
        broken.remove(QLatin1String(key));
        EXPECT_THROW(windowFromJson(broken), DecodingError) << key;
        broken.insert(QLatin1String(key), QJsonValue::Null);
        EXPECT_THROW(windowFromJson(broken), DecodingError) << key;
    }
    const std::vector<std::pair<const char*, QJsonValue>> bad{{"kind", QStringLiteral("modelWeekly")},
                                                              {"provider", QStringLiteral("OpenAI")},
                                                              {"coverageComplete", 0},
                                                              {"samples", QJsonObject()},
                                                              {"startsAt", 20261001}};
    for (const auto& [key, value] : bad) {
        QJsonObject broken = object(windowJson);
        broken.insert(QLatin1String(key), value);
        EXPECT_THROW(windowFromJson(broken), DecodingError) << key;
    }
    QJsonObject extra = object(windowJson);
    extra.insert(QStringLiteral("note"), QStringLiteral("ignored"));
    EXPECT_NO_THROW(windowFromJson(extra));
    EXPECT_THROW(decodeReport("not json"), DecodingError);
    EXPECT_THROW(decodeReport("[]"), DecodingError);
    EXPECT_THROW(decodeReport(""), DecodingError);
    // A number beyond the double range cannot stand for a percentage.
    EXPECT_THROW(decodeRequest(R"({"schemaVersion":1,"month":"2026-10","timeZone":"UTC","asOf":"x",
        "coverage":{"completeForMonth":false},"windows":[{"id":"window-0001","scopeId":"scope-aaaa",
        "provider":"openai","bucketId":"bucket-0001","kind":"weekly","startsAt":"a","resetsAt":"b",
        "coverageComplete":false,"samples":[{"id":"s","at":"a","usedPercent":1e400}]}]})"),
                 DecodingError);
}

TEST(MonthlyUsageRecords, EqualityTakesEveryField) {
    const Sample plain =
        sample(QStringLiteral("sample-0001"), QStringLiteral("2026-10-02T00:00:00.000Z"), 10);
    Sample estimated = plain;
    estimated.withoutQuillmere = estimate(1, 2);
    EXPECT_NE(plain, estimated);
    Baseline other = baseline();
    other.id = QStringLiteral("baseline-0002");
    EXPECT_NE(other, baseline());
}

TEST(MonthlyUsageInstants, StrictTimestampsAreExactMilliseconds) {
    EXPECT_EQ(date(QStringLiteral("1970-01-01T00:00:00Z")), 0);
    EXPECT_EQ(date(QStringLiteral("2026-10-01T00:00:00.001Z")),
              *date(QStringLiteral("2026-10-01T00:00:00Z")) + 1);
    EXPECT_EQ(date(QStringLiteral("2024-02-29T23:59:59.999Z")),
              *date(QStringLiteral("2024-03-01T00:00:00Z")) - 1);
    for (const char* refused :
         {"2026-10-01T00:00:00.1Z", "2026-10-01T00:00:00+00:00", "2026-10-01 00:00:00Z",
          "2026-02-30T00:00:00Z", "2026-10-01T24:00:00Z", "2026-10-01T00:00:60Z", "2025-02-29T00:00:00Z",
          "2026-10-01T00:00:00z", "２026-10-01T00:00:00Z", "", "2026-13-01T00:00:00Z"})
        EXPECT_FALSE(date(QString::fromUtf8(refused))) << refused;
    // Every millisecond value writes back with its own digits.
    const qint64 base = *date(QStringLiteral("2026-10-01T12:34:56Z"));
    for (int ms = 0; ms < 1000; ++ms) {
        const QString text = canonical(base + ms);
        ASSERT_EQ(date(text), base + ms) << text.toStdString();
    }
    EXPECT_EQ(canonical(*date(QStringLiteral("1969-12-31T23:59:59.999Z"))),
              QStringLiteral("1969-12-31T23:59:59.999Z"));
    EXPECT_EQ(wholeSeconds(*date(QStringLiteral("2026-10-01T00:00:00.999Z"))),
              QStringLiteral("2026-10-01T00:00:00Z"));
}

TEST(MonthlyUsageInstants, MonthKeysFollowTheZone) {
    const qint64 lateOctober = *date(QStringLiteral("2026-10-31T23:30:00Z"));
    EXPECT_EQ(month(lateOctober, *knownZone(QStringLiteral("UTC"))), QStringLiteral("2026-10"));
    EXPECT_EQ(month(lateOctober, *knownZone(QStringLiteral("Africa/Cairo"))), QStringLiteral("2026-11"));
    EXPECT_EQ(month(lateOctober, *knownZone(QStringLiteral("America/New_York"))), QStringLiteral("2026-10"));
    EXPECT_FALSE(knownZone(QStringLiteral("Unknown/Zone")));
    EXPECT_FALSE(knownZone(QStringLiteral("UTC+02:00")));
    EXPECT_FALSE(knownZone(QString()));
}

// Every name of the system's zone database is a zone, its older aliases included: refusing one
// would put that person's month boundaries in UTC. Rules and offsets that no database names, and
// names with anything around them, are not zones.
TEST(MonthlyUsageInstants, EveryNameOfTheZoneDatabaseIsKnown) {
    const qint64 lateOctober = *date(QStringLiteral("2026-10-31T23:30:00Z"));
    const struct {
        const char* id;
        const char* month;
    } known[] = {
        {"UTC", "2026-10"},           {"Etc/UTC", "2026-10"},
        {"GMT", "2026-10"},           {"US/Eastern", "2026-10"},
        {"Asia/Calcutta", "2026-11"}, {"Europe/Kiev", "2026-11"},
        {"Etc/GMT-5", "2026-11"},     {"Etc/GMT+5", "2026-10"},
        {"Asia/Kolkata", "2026-11"},  {"America/New_York", "2026-10"},
    };
    for (const auto& row : known) {
        const auto zone = knownZone(QString::fromLatin1(row.id));
        ASSERT_TRUE(zone) << row.id;
        EXPECT_EQ(month(lateOctober, *zone), QString::fromLatin1(row.month)) << row.id;
    }
    for (const char* unknown :
         {"Unknown/Zone", "UTC+02:00", "UTC+2", "UTC-5", "EST5", "XYZ3", "JST-9", "<+03>-3",
          "CET-1CEST,M3.5.0,M10.5.0/3", "Europe", "zone.tab", "../zoneinfo/UTC", "Etc/../UTC",
          "/usr/share/zoneinfo/UTC", "Etc/UTC\n", "Etc/UTC\r\n", " Etc/UTC", "etc/utc/", "",
          // Files of the database folder that the database does not list as names: the system's
          // own zone, the rule template, the placeholder zone, and the two copies of the whole
          // database under other folders.
          "localtime", "posixrules", "Factory", "right/UTC", "posix/Europe/Paris", "posix/UTC",
          "right/Europe/Paris", "tzdata.zi", "leapseconds", "SECURITY"})
        EXPECT_FALSE(knownZone(QString::fromLatin1(unknown))) << unknown;
    EXPECT_TRUE(knownZone(QStringLiteral("Europe/Paris")));
}

TEST(MonthlyUsageChecksOfValues, IdentifiersModelsAndBaselines) {
    EXPECT_TRUE(validID(QStringLiteral("abcd-123")));
    EXPECT_FALSE(validID(QStringLiteral("abcd-12")));
    EXPECT_FALSE(validID(QString(81, u'a')));
    EXPECT_FALSE(validID(QStringLiteral("https://example.test/a")));
    EXPECT_FALSE(validID(QStringLiteral("abcdéfgh")));
    EXPECT_FALSE(validID(QStringLiteral("abcdefgh\n")));
    EXPECT_TRUE(validBaseline(std::nullopt));
    EXPECT_FALSE(validBaseline(Baseline{QStringLiteral("baseline-0001"), QStringLiteral("GPT-6"), {}, {}}));
    EXPECT_FALSE(validBaseline(Baseline{QStringLiteral("baseline-0001"), QStringLiteral("g"), {}, {}}));
    EXPECT_FALSE(validBaseline(Baseline{QStringLiteral("baselin"), QStringLiteral("gpt-6"), {}, {}}));
    EXPECT_FALSE(validBaseline(Baseline{QStringLiteral("baseline-0001"), QStringLiteral(".gpt"), {}, {}}));
    // A final line break is never part of a valid value.
    for (const QString& end : {QStringLiteral("\n"), QStringLiteral("\r\n")}) {
        EXPECT_FALSE(validID(QStringLiteral("abcdefgh") + end));
        EXPECT_FALSE(validModel(QStringLiteral("gpt-6") + end));
        EXPECT_FALSE(date(QStringLiteral("2026-10-01T00:00:00.000Z") + end));
        EXPECT_FALSE(date(QStringLiteral("2026-10-01T00:00:00Z") + end));
    }
}

TEST(MonthlyUsageChecksOfValues, StoredWindows) {
    const QString start = QStringLiteral("2026-10-01T00:00:00.000Z");
    Window w = window(QStringLiteral("window-0001"), start, QStringLiteral("2026-10-08T00:00:00.000Z"),
                      {sample(QStringLiteral("sample-0001"), start, 0)});
    EXPECT_TRUE(validWindow(w));
    w.samples[0].at = w.resetsAt;
    EXPECT_FALSE(validWindow(w));
    w.samples = {sample(QStringLiteral("sample-0001"), start, 1),
                 sample(QStringLiteral("sample-0001"), start, 2)};
    EXPECT_FALSE(validWindow(w)) << "duplicate sample ids";
    w.samples = {sample(QStringLiteral("sample-0001"), start, std::numeric_limits<double>::quiet_NaN())};
    EXPECT_FALSE(validWindow(w));
    w.samples = {sample(QStringLiteral("sample-0001"), start, 10, estimate(0, 100000.0))};
    EXPECT_FALSE(validWindow(w)) << "an estimate needs a baseline";
    w.baseline = baseline();
    EXPECT_TRUE(validWindow(w));
    w.samples[0].withoutQuillmere->upperUsedPercent = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(validWindow(w));
    w.samples.clear();
    w.resetsAt = canonical(*date(start) + longestWindowMilliseconds);
    EXPECT_TRUE(validWindow(w));
    w.resetsAt = canonical(*date(start) + longestWindowMilliseconds + 1000);
    EXPECT_FALSE(validWindow(w));
}

TEST(MonthlyUsageMerging, OneWindowPerKeyWithCanonicalTextsAndOrderedSamples) {
    Window first =
        window(QStringLiteral("window-0001"), QStringLiteral("2026-10-01T00:00:00Z"),
               QStringLiteral("2026-10-01T05:00:00.000Z"),
               {sample(QStringLiteral("sample-0002"), QStringLiteral("2026-10-01T02:00:00Z"), 20),
                sample(QStringLiteral("sample-0001"), QStringLiteral("2026-10-01T01:00:00Z"), 10)});
    Window second = first;
    second.id = QStringLiteral("window-0002");
    second.startsAt = QStringLiteral("2026-10-01T00:00:00.000Z");
    second.samples = {sample(QStringLiteral("sample-0001"), QStringLiteral("2026-10-01T01:00:00.000Z"), 10),
                      sample(QStringLiteral("sample-0000"), QStringLiteral("2026-10-01T02:00:00.000Z"), 20)};
    const auto merged = mergedWindows({first, second});
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0].id, QStringLiteral("window-0001"));
    EXPECT_EQ(merged[0].startsAt, QStringLiteral("2026-10-01T00:00:00.000Z"));
    ASSERT_EQ(merged[0].samples.size(), 3u);
    EXPECT_EQ(merged[0].samples[0].id, QStringLiteral("sample-0001"));
    EXPECT_EQ(merged[0].samples[1].id, QStringLiteral("sample-0000")) << "same instant: ordered by id";
    EXPECT_TRUE(mergedWindows({}).empty());

    const auto refused = [](std::vector<Window> windows) {
        try {
            mergedWindows(windows);
        } catch (const Invalid& error) {
            return error.kind() == Invalid::response;
        }
        return false;
    };
    Window otherKind = second;
    otherKind.kind = Kind::weekly;
    EXPECT_TRUE(refused({first, otherKind}));
    Window withBaseline = second;
    withBaseline.baseline = baseline();
    EXPECT_TRUE(refused({first, withBaseline}));
    Window changedSample = second;
    changedSample.samples[0].usedPercent = 11;
    EXPECT_TRUE(refused({first, changedSample}));
    Window sameIdElsewhere = first;
    sameIdElsewhere.resetsAt = QStringLiteral("2026-10-01T06:00:00.000Z");
    EXPECT_TRUE(refused({first, sameIdElsewhere})) << "one window id under two keys";
    sameIdElsewhere.id = QStringLiteral("window-0003");
    EXPECT_TRUE(refused({first, sameIdElsewhere})) << "one sample id in two windows of one account";
    sameIdElsewhere.scopeId = QStringLiteral("scope-bbbb");
    EXPECT_FALSE(refused({first, sameIdElsewhere})) << "another account may reuse a sample id";
}

// ---- The report check -------------------------------------------------------------------------

namespace {

struct Golden {
    std::vector<quillmere::testing::GoldenCase> cases = quillmere::testing::goldenCases();

    QByteArray body(size_t index, const std::function<void(QJsonObject&)>& change = {}) const {
        QJsonObject response = cases.at(index).response;
        if (change)
            change(response);
        return quillmere::testing::bytes(response);
    }
    bool refused(size_t index, const std::function<void(QJsonObject&)>& change) const {
        try {
            validatedReport(body(index, change), cases.at(index).request);
        } catch (const Invalid& error) {
            return error.kind() == Invalid::response;
        }
        return false;
    }
};

void editRow(QJsonObject& response, int index, const std::function<void(QJsonObject&)>& change) {
    QJsonArray rows = response.value(QStringLiteral("windows")).toArray();
    QJsonObject row = rows.at(index).toObject();
    change(row);
    rows.replace(index, row);
    response.insert(QStringLiteral("windows"), rows);
}

void editPart(QJsonObject& object, const QString& key, const QString& field, const QJsonValue& value) {
    QJsonObject part = object.value(key).toObject();
    part.insert(field, value);
    object.insert(key, part);
}

} // namespace

TEST(MonthlyReportCheck, GoldenAnswersAreAcceptedUnchanged) {
    const Golden golden;
    ASSERT_EQ(golden.cases.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_NO_THROW(validatedReport(golden.body(i), golden.cases[i].request)) << i;
    const Report report = validatedReport(
        golden.body(1,
                    [](QJsonObject& r) {
                        editPart(r, QStringLiteral("summary"), QStringLiteral("caveats"),
                                 QJsonArray{QStringLiteral("anything")});
                        r.insert(QStringLiteral("asOf"), QStringLiteral("2026-10-20T00:00:00Z"));
                    }),
        golden.cases[1].request);
    EXPECT_EQ(report.summary.caveats, QStringList{QStringLiteral("anything")});
    EXPECT_EQ(report.asOf, QStringLiteral("2026-10-20T00:00:00Z"));
}

TEST(MonthlyReportCheck, HeaderAndSummaryDisagreementsAreRefused) {
    const Golden golden;
    const std::vector<std::pair<const char*, std::function<void(QJsonObject&)>>> changes{
        {"month without leading zero",
         [](QJsonObject& r) { r.insert(QStringLiteral("month"), QStringLiteral("2026-1")); }},
        {"other zone",
         [](QJsonObject& r) { r.insert(QStringLiteral("timeZone"), QStringLiteral("Etc/UTC")); }},
        {"other instant",
         [](QJsonObject& r) {
             r.insert(QStringLiteral("asOf"), QStringLiteral("2026-10-20T00:00:00.001Z"));
         }},
        {"learning", [](QJsonObject& r) { r.insert(QStringLiteral("learningEnabled"), true); }},
        {"causal", [](QJsonObject& r) { r.insert(QStringLiteral("causalSavingsClaim"), true); }},
        {"monthly percent 0",
         [](QJsonObject& r) {
             editPart(r, QStringLiteral("summary"), QStringLiteral("monthlyUsedPercent"), 0);
         }},
        {"window count",
         [](QJsonObject& r) { editPart(r, QStringLiteral("summary"), QStringLiteral("windowCount"), 5); }},
        {"version", [](QJsonObject& r) { r.insert(QStringLiteral("reportVersion"), QStringLiteral("v2")); }},
        {"coverage",
         [](QJsonObject& r) { r.insert(QStringLiteral("coverage"), QStringLiteral("complete_month")); }},
        {"extra row",
         [](QJsonObject& r) {
             QJsonArray rows = r.value(QStringLiteral("windows")).toArray();
             QJsonObject row = rows.at(0).toObject();
             row.insert(QStringLiteral("scopeId"), QStringLiteral("scope-zzzz"));
             rows.append(row);
             r.insert(QStringLiteral("windows"), rows);
             editPart(r, QStringLiteral("summary"), QStringLiteral("windowCount"), 5);
         }},
        {"missing row",
         [](QJsonObject& r) {
             QJsonArray rows = r.value(QStringLiteral("windows")).toArray();
             rows.removeLast();
             r.insert(QStringLiteral("windows"), rows);
             editPart(r, QStringLiteral("summary"), QStringLiteral("windowCount"), 3);
         }},
    };
    for (const auto& [name, change] : changes)
        EXPECT_TRUE(golden.refused(1, change)) << name;
}

TEST(MonthlyReportCheck, RowsThatDisagreeWithTheRequestAreRefused) {
    const Golden golden;
    const std::vector<std::pair<const char*, std::function<void(QJsonObject&)>>> rowChanges{
        {"percent off by a hair",
         [](QJsonObject& row) {
             editPart(row, QStringLiteral("withQuillmere"), QStringLiteral("usedPercent"), 100.0000001);
         }},
        {"percent over 100",
         [](QJsonObject& row) {
             editPart(row, QStringLiteral("withQuillmere"), QStringLiteral("usedPercent"), 101);
         }},
        {"negative percent",
         [](QJsonObject& row) {
             editPart(row, QStringLiteral("withQuillmere"), QStringLiteral("usedPercent"), -1);
         }},
        {"estimate clamped",
         [](QJsonObject& row) {
             editPart(row, QStringLiteral("withoutQuillmere"), QStringLiteral("upperUsedPercent"), 100);
         }},
        {"status",
         [](QJsonObject& row) {
             editPart(row, QStringLiteral("withoutQuillmere"), QStringLiteral("status"),
                      QStringLiteral("possibly_reached"));
         }},
        {"event",
         [](QJsonObject& row) {
             editPart(row, QStringLiteral("newLimitEvent"), QStringLiteral("possibleWithoutQuillmere"), true);
         }},
        {"issues",
         [](QJsonObject& row) {
             row.insert(QStringLiteral("issues"),
                        QJsonArray{QStringLiteral("usage_decreased_within_window")});
         }},
        {"baseline", [](QJsonObject& row) { row.insert(QStringLiteral("baseline"), QJsonValue::Null); }},
        {"reset",
         [](QJsonObject& row) {
             row.insert(QStringLiteral("resetsAt"), QStringLiteral("2026-10-01T05:00:01Z"));
         }},
        {"latest",
         [](QJsonObject& row) { row.insert(QStringLiteral("latestObservedAt"), QJsonValue::Null); }},
        {"provenance",
         [](QJsonObject& row) {
             editPart(row, QStringLiteral("withoutQuillmere"), QStringLiteral("provenance"),
                      QStringLiteral("server"));
         }},
    };
    for (const auto& [name, change] : rowChanges)
        EXPECT_TRUE(golden.refused(1, [&](QJsonObject& r) { editRow(r, 0, change); })) << name;
    // Rows in another order are the same report.
    EXPECT_FALSE(golden.refused(1, [](QJsonObject& r) {
        QJsonArray rows = r.value(QStringLiteral("windows")).toArray();
        const QJsonValue first = rows.takeAt(0);
        rows.append(first);
        r.insert(QStringLiteral("windows"), rows);
    }));
}

TEST(MonthlyReportCheck, OneWindowListedTwiceIsRefusedWhateverTheSpellingOfItsInstants) {
    const Golden golden;
    const auto doubled = [](bool respell) {
        return [respell](QJsonObject& r) {
            QJsonArray rows = r.value(QStringLiteral("windows")).toArray();
            QJsonObject copy = rows.at(0).toObject();
            if (respell) // the same instant, written without milliseconds
                copy.insert(QStringLiteral("startsAt"), QStringLiteral("2026-10-05T00:00:00Z"));
            rows.append(copy);
            r.insert(QStringLiteral("windows"), rows);
            QJsonObject summary = r.value(QStringLiteral("summary")).toObject();
            summary.insert(QStringLiteral("windowCount"), 3);
            summary.insert(QStringLiteral("observedWindows"), 3);
            editPart(summary, QStringLiteral("withoutQuillmere"), QStringLiteral("unknownWindows"), 3);
            r.insert(QStringLiteral("summary"), summary);
        };
    };
    EXPECT_TRUE(golden.refused(2, doubled(false)));
    EXPECT_TRUE(golden.refused(2, doubled(true)));
}

TEST(MonthlyReportCheck, AnEmptyMonthAndTheRowLimit) {
    Request request;
    request.month = QStringLiteral("2026-11");
    request.timeZone = QStringLiteral("UTC");
    request.asOf = QStringLiteral("2026-11-15T12:00:00.000Z");
    const Golden golden;
    EXPECT_NO_THROW(validatedReport(golden.body(0), request));

    // 512 windows answered row by row pass; 513 are refused before any row is examined.
    for (const int count : {512, 513}) {
        Request many = golden.cases[2].request;
        QJsonObject response = golden.cases[2].response;
        const QJsonObject firstRow = response.value(QStringLiteral("windows")).toArray().at(0).toObject();
        Window model = many.windows[0];
        many.windows.clear();
        QJsonArray rows;
        for (int i = 0; i < count; ++i) {
            Window w = model;
            w.id = QStringLiteral("window-%1").arg(i, 4, 10, QLatin1Char('0'));
            w.scopeId = QStringLiteral("scope-%1").arg(i, 4, 10, QLatin1Char('0'));
            for (Sample& s : w.samples)
                s.id = QStringLiteral("sample-%1-%2").arg(i).arg(s.id);
            many.windows.push_back(w);
            QJsonObject row = firstRow;
            row.insert(QStringLiteral("id"), w.id);
            row.insert(QStringLiteral("scopeId"), w.scopeId);
            rows.append(row);
        }
        response.insert(QStringLiteral("windows"), rows);
        QJsonObject summary = response.value(QStringLiteral("summary")).toObject();
        summary.insert(QStringLiteral("windowCount"), count);
        summary.insert(QStringLiteral("observedWindows"), count);
        editPart(summary, QStringLiteral("withoutQuillmere"), QStringLiteral("unknownWindows"), count);
        response.insert(QStringLiteral("summary"), summary);
        if (count == 512)
            EXPECT_NO_THROW(validatedReport(quillmere::testing::bytes(response), many));
        else
            EXPECT_THROW(validatedReport(quillmere::testing::bytes(response), many), Invalid);
    }
}

TEST(MonthlyReportCheck, AWindowResettingAtTheMonthsFirstInstantDoesNotTouchIt) {
    const Golden golden;
    Request request = golden.cases[0].request; // November, UTC
    request.windows = {window(QStringLiteral("window-0001"), QStringLiteral("2026-10-25T00:00:00.000Z"),
                              QStringLiteral("2026-11-01T00:00:00.000Z"))};
    EXPECT_NO_THROW(validatedReport(golden.body(0), request));
    request.windows[0].resetsAt = QStringLiteral("2026-11-01T00:00:00.001Z");
    EXPECT_THROW(validatedReport(golden.body(0), request), Invalid) << "now the window needs a row";
}
