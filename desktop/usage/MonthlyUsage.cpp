#include "desktop/usage/MonthlyUsage.h"

#include "desktop/classification/ContractDecoding.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace quillmere::MonthlyUsage {

// ---- Enumerations ----------------------------------------------------------------------------------

namespace {

template <typename E> struct Names;
template <> struct Names<Provider> { static constexpr const char* values[] = {"openai", "anthropic"}; };
template <> struct Names<Kind> {
    static constexpr const char* values[] = {"session", "weekly", "model_weekly", "other"};
};
template <> struct Names<Effort> {
    static constexpr const char* values[] = {"none", "low", "medium", "high", "xhigh", "max", "ultra"};
};
template <> struct Names<Speed> {
    static constexpr const char* values[] = {"standard", "fast", "ultrafast"};
};
template <> struct Names<Estimate::Basis> {
    static constexpr const char* values[] = {"provider_quota_units", "paired_quota_measurements"};
};

template <typename E> QString nameOf(E value) {
    return QString::fromLatin1(Names<E>::values[int(value)]);
}

template <typename E> std::optional<E> fromName(const QString& raw) {
    int index = 0;
    for (const char* name : Names<E>::values) {
        if (raw == QLatin1String(name))
            return E(index);
        ++index;
    }
    return std::nullopt;
}

} // namespace

const std::vector<Provider>& allProviders() {
    static const std::vector<Provider> values{Provider::openai, Provider::anthropic};
    return values;
}
const std::vector<Effort>& allEfforts() {
    static const std::vector<Effort> values{Effort::none,  Effort::low, Effort::medium, Effort::high,
                                            Effort::xhigh, Effort::max, Effort::ultra};
    return values;
}
const std::vector<Speed>& allSpeeds() {
    static const std::vector<Speed> values{Speed::standard, Speed::fast, Speed::ultrafast};
    return values;
}

QString rawValue(Provider value) {
    return nameOf(value);
}
QString rawValue(Kind value) {
    return nameOf(value);
}
QString rawValue(Effort value) {
    return nameOf(value);
}
QString rawValue(Speed value) {
    return nameOf(value);
}
QString rawValue(Estimate::Basis value) {
    return nameOf(value);
}
std::optional<Provider> providerFromRaw(const QString& raw) {
    return fromName<Provider>(raw);
}
std::optional<Kind> kindFromRaw(const QString& raw) {
    return fromName<Kind>(raw);
}
std::optional<Effort> effortFromRaw(const QString& raw) {
    return fromName<Effort>(raw);
}
std::optional<Speed> speedFromRaw(const QString& raw) {
    return fromName<Speed>(raw);
}
std::optional<Estimate::Basis> basisFromRaw(const QString& raw) {
    return fromName<Estimate::Basis>(raw);
}

qsizetype Request::sampleCount() const {
    qsizetype count = 0;
    for (const Window& window : windows)
        count += qsizetype(window.samples.size());
    return count;
}

// ---- The error -------------------------------------------------------------------------------------

namespace {
const char* invalidText(Invalid::Case kind) {
    switch (kind) {
    case Invalid::observation:
        return "The usage observation could not be verified. No quota values were inferred.";
    case Invalid::persistence:
        return "Local usage history could not be read or saved. Existing history was preserved.";
    case Invalid::requestLimit:
        return "This history exceeds the report limit. No windows were silently omitted.";
    case Invalid::response:
        return "The monthly report could not be verified. No comparison is shown.";
    }
    return "";
}
} // namespace

QString Invalid::description() const {
    return QString::fromUtf8(invalidText(kind_));
}
const char* Invalid::what() const noexcept {
    return invalidText(kind_);
}

// ---- Writing JSON ------------------------------------------------------------------------------------

namespace {
template <typename T, typename F> json::Value optionalValue(const std::optional<T>& value, F convert) {
    return value ? json::Value(convert(*value)) : json::Value();
}
} // namespace

json::Value toJson(const Baseline& value) {
    return json::Object{
        {QStringLiteral("id"), value.id},
        {QStringLiteral("model"), value.model},
        {QStringLiteral("effort"), optionalValue(value.effort, [](Effort e) { return rawValue(e); })},
        {QStringLiteral("speed"), optionalValue(value.speed, [](Speed s) { return rawValue(s); })},
    };
}

json::Value toJson(const Estimate& value) {
    return json::Object{
        {QStringLiteral("baselineId"), value.baselineId},
        {QStringLiteral("lowerUsedPercent"), value.lowerUsedPercent},
        {QStringLiteral("upperUsedPercent"), value.upperUsedPercent},
        {QStringLiteral("basis"), rawValue(value.basis)},
        {QStringLiteral("evidenceId"), value.evidenceId},
        {QStringLiteral("coversAllUsage"), value.coversAllUsage},
    };
}

json::Value toJson(const Sample& value) {
    return json::Object{
        {QStringLiteral("id"), value.id},
        {QStringLiteral("at"), value.at},
        {QStringLiteral("usedPercent"), value.usedPercent},
        {QStringLiteral("withoutQuillmere"),
         value.withoutQuillmere ? toJson(*value.withoutQuillmere) : json::Value()},
    };
}

json::Value toJson(const Window& value) {
    json::Array samples;
    samples.reserve(value.samples.size());
    for (const Sample& sample : value.samples)
        samples.push_back(toJson(sample));
    return json::Object{
        {QStringLiteral("id"), value.id},
        {QStringLiteral("scopeId"), value.scopeId},
        {QStringLiteral("provider"), rawValue(value.provider)},
        {QStringLiteral("bucketId"), value.bucketId},
        {QStringLiteral("kind"), rawValue(value.kind)},
        {QStringLiteral("startsAt"), value.startsAt},
        {QStringLiteral("resetsAt"), value.resetsAt},
        {QStringLiteral("baseline"), value.baseline ? toJson(*value.baseline) : json::Value()},
        {QStringLiteral("coverageComplete"), value.coverageComplete},
        {QStringLiteral("samples"), std::move(samples)},
    };
}

json::Value toJson(const Request& value) {
    json::Array windows;
    windows.reserve(value.windows.size());
    for (const Window& window : value.windows)
        windows.push_back(toJson(window));
    return json::Object{
        {QStringLiteral("schemaVersion"), value.schemaVersion},
        {QStringLiteral("month"), value.month},
        {QStringLiteral("timeZone"), value.timeZone},
        {QStringLiteral("asOf"), value.asOf},
        {QStringLiteral("coverage"),
         json::Object{{QStringLiteral("completeForMonth"), value.coverage.completeForMonth}}},
        {QStringLiteral("windows"), std::move(windows)},
    };
}

QByteArray encode(const Request& request) {
    return json::write(toJson(request));
}

QByteArray encodeWithinLimits(const Request& request) {
    QByteArray bytes = encode(request);
    if (bytes.size() > maximumRequestBytes || qsizetype(request.windows.size()) > maximumWindows ||
        request.sampleCount() > maximumSamples)
        throw Invalid(Invalid::requestLimit);
    return bytes;
}

// ---- Reading JSON ------------------------------------------------------------------------------------

namespace {

[[noreturn]] void fail(const QString& key, const char* problem) {
    throw DecodingError(QStringLiteral("The monthly usage data is not in the expected form: \"%1\" %2.")
                            .arg(key, QLatin1String(problem)));
}

template <typename T> T required(const json::Field<T>& field, const QString& key) {
    if (!field.isPresent())
        fail(key, field.isWrongType() ? "has the wrong type" : "is missing");
    return field.value;
}
template <typename T> std::optional<T> optionalField(const json::Field<T>& field, const QString& key) {
    if (field.isWrongType())
        fail(key, "has the wrong type");
    return field.optional();
}

QString requiredString(const QJsonObject& object, const QString& key) {
    return required(json::string(object, key), key);
}
std::optional<QString> optionalString(const QJsonObject& object, const QString& key) {
    return optionalField(json::string(object, key), key);
}
bool requiredBool(const QJsonObject& object, const QString& key) {
    return required(json::boolean(object, key), key);
}
qint64 requiredInteger(const QJsonObject& object, const QString& key) {
    return required(json::integer(object, key), key);
}
double finite(double value, const QString& key) {
    if (!std::isfinite(value))
        fail(key, "is not a finite number");
    return value;
}
double requiredNumber(const QJsonObject& object, const QString& key) {
    return finite(required(json::number(object, key), key), key);
}
std::optional<double> optionalNumber(const QJsonObject& object, const QString& key) {
    const auto value = optionalField(json::number(object, key), key);
    if (value)
        finite(*value, key);
    return value;
}
QJsonObject requiredObject(const QJsonObject& object, const QString& key) {
    return required(json::object(object, key), key);
}
std::optional<QJsonObject> optionalObject(const QJsonObject& object, const QString& key) {
    return optionalField(json::object(object, key), key);
}
QJsonArray requiredArray(const QJsonObject& object, const QString& key) {
    return required(json::array(object, key), key);
}
template <typename E, typename F> E requiredEnum(const QJsonObject& object, const QString& key, F parse) {
    const auto value = parse(requiredString(object, key));
    if (!value)
        fail(key, "is not one of its values");
    return *value;
}
template <typename E, typename F>
std::optional<E> optionalEnum(const QJsonObject& object, const QString& key, F parse) {
    const auto text = optionalString(object, key);
    if (!text)
        return std::nullopt;
    const auto value = parse(*text);
    if (!value)
        fail(key, "is not one of its values");
    return value;
}
QJsonObject objectElement(const QJsonValue& value, const QString& key) {
    if (!value.isObject())
        fail(key, "holds an element that is not an object");
    return value.toObject();
}

Estimate estimateFromJson(const QJsonObject& object) {
    Estimate estimate;
    estimate.baselineId = requiredString(object, QStringLiteral("baselineId"));
    estimate.lowerUsedPercent = requiredNumber(object, QStringLiteral("lowerUsedPercent"));
    estimate.upperUsedPercent = requiredNumber(object, QStringLiteral("upperUsedPercent"));
    estimate.basis = requiredEnum<Estimate::Basis>(object, QStringLiteral("basis"), basisFromRaw);
    estimate.evidenceId = requiredString(object, QStringLiteral("evidenceId"));
    estimate.coversAllUsage = requiredBool(object, QStringLiteral("coversAllUsage"));
    return estimate;
}

Sample sampleFromJson(const QJsonObject& object) {
    Sample sample;
    sample.id = requiredString(object, QStringLiteral("id"));
    sample.at = requiredString(object, QStringLiteral("at"));
    sample.usedPercent = requiredNumber(object, QStringLiteral("usedPercent"));
    if (const auto estimate = optionalObject(object, QStringLiteral("withoutQuillmere")))
        sample.withoutQuillmere = estimateFromJson(*estimate);
    return sample;
}

std::optional<Baseline> optionalBaseline(const QJsonObject& object, const QString& key) {
    const auto value = optionalObject(object, key);
    if (!value)
        return std::nullopt;
    return baselineFromJson(*value);
}

Row rowFromJson(const QJsonObject& object) {
    Row row;
    row.id = requiredString(object, QStringLiteral("id"));
    row.provider = requiredEnum<Provider>(object, QStringLiteral("provider"), providerFromRaw);
    row.scopeId = requiredString(object, QStringLiteral("scopeId"));
    row.bucketId = requiredString(object, QStringLiteral("bucketId"));
    row.kind = requiredEnum<Kind>(object, QStringLiteral("kind"), kindFromRaw);
    row.startsAt = requiredString(object, QStringLiteral("startsAt"));
    row.resetsAt = requiredString(object, QStringLiteral("resetsAt"));
    row.baseline = optionalBaseline(object, QStringLiteral("baseline"));
    row.coverage = requiredString(object, QStringLiteral("coverage"));
    for (const QJsonValue& issue : requiredArray(object, QStringLiteral("issues"))) {
        if (!issue.isString())
            fail(QStringLiteral("issues"), "holds an element that is not a string");
        row.issues.append(issue.toString());
    }
    const QJsonObject actual = requiredObject(object, QStringLiteral("withQuillmere"));
    row.withQuillmere.usedPercent = optionalNumber(actual, QStringLiteral("usedPercent"));
    row.withQuillmere.status = requiredString(actual, QStringLiteral("status"));
    row.withQuillmere.firstReachedObservedAt =
        optionalString(actual, QStringLiteral("firstReachedObservedAt"));
    const QJsonObject estimated = requiredObject(object, QStringLiteral("withoutQuillmere"));
    auto& e = row.withoutQuillmere;
    e.lowerUsedPercent = optionalNumber(estimated, QStringLiteral("lowerUsedPercent"));
    e.upperUsedPercent = optionalNumber(estimated, QStringLiteral("upperUsedPercent"));
    e.estimateObservedAt = optionalString(estimated, QStringLiteral("estimateObservedAt"));
    e.status = requiredString(estimated, QStringLiteral("status"));
    e.basis = optionalString(estimated, QStringLiteral("basis"));
    e.provenance = optionalString(estimated, QStringLiteral("provenance"));
    e.firstEstimatedReachedObservedAt =
        optionalString(estimated, QStringLiteral("firstEstimatedReachedObservedAt"));
    e.firstPossibleReachedObservedAt =
        optionalString(estimated, QStringLiteral("firstPossibleReachedObservedAt"));
    row.latestObservedAt = optionalString(object, QStringLiteral("latestObservedAt"));
    const QJsonObject event = requiredObject(object, QStringLiteral("newLimitEvent"));
    row.newLimitEvent.withQuillmere = requiredBool(event, QStringLiteral("withQuillmere"));
    row.newLimitEvent.withoutQuillmere = requiredBool(event, QStringLiteral("withoutQuillmere"));
    row.newLimitEvent.possibleWithoutQuillmere =
        requiredBool(event, QStringLiteral("possibleWithoutQuillmere"));
    return row;
}

QJsonObject bodyObject(const QByteArray& body) {
    const auto object = json::parseObject(body);
    if (!object)
        throw DecodingError(QStringLiteral("The monthly usage data is not a JSON object."));
    return *object;
}

} // namespace

Baseline baselineFromJson(const QJsonObject& object) {
    Baseline baseline;
    baseline.id = requiredString(object, QStringLiteral("id"));
    baseline.model = requiredString(object, QStringLiteral("model"));
    baseline.effort = optionalEnum<Effort>(object, QStringLiteral("effort"), effortFromRaw);
    baseline.speed = optionalEnum<Speed>(object, QStringLiteral("speed"), speedFromRaw);
    return baseline;
}

Window windowFromJson(const QJsonObject& object) {
    Window window;
    window.id = requiredString(object, QStringLiteral("id"));
    window.scopeId = requiredString(object, QStringLiteral("scopeId"));
    window.provider = requiredEnum<Provider>(object, QStringLiteral("provider"), providerFromRaw);
    window.bucketId = requiredString(object, QStringLiteral("bucketId"));
    window.kind = requiredEnum<Kind>(object, QStringLiteral("kind"), kindFromRaw);
    window.startsAt = requiredString(object, QStringLiteral("startsAt"));
    window.resetsAt = requiredString(object, QStringLiteral("resetsAt"));
    window.baseline = optionalBaseline(object, QStringLiteral("baseline"));
    window.coverageComplete = requiredBool(object, QStringLiteral("coverageComplete"));
    const QJsonArray samples = requiredArray(object, QStringLiteral("samples"));
    window.samples.reserve(samples.size());
    for (const QJsonValue& sample : samples)
        window.samples.push_back(sampleFromJson(objectElement(sample, QStringLiteral("samples"))));
    return window;
}

Request requestFromJson(const QJsonObject& object) {
    Request request;
    request.schemaVersion = requiredInteger(object, QStringLiteral("schemaVersion"));
    request.month = requiredString(object, QStringLiteral("month"));
    request.timeZone = requiredString(object, QStringLiteral("timeZone"));
    request.asOf = requiredString(object, QStringLiteral("asOf"));
    request.coverage.completeForMonth =
        requiredBool(requiredObject(object, QStringLiteral("coverage")), QStringLiteral("completeForMonth"));
    const QJsonArray windows = requiredArray(object, QStringLiteral("windows"));
    request.windows.reserve(windows.size());
    for (const QJsonValue& window : windows)
        request.windows.push_back(windowFromJson(objectElement(window, QStringLiteral("windows"))));
    return request;
}

Report reportFromJson(const QJsonObject& object) {
    Report report;
    report.schemaVersion = requiredInteger(object, QStringLiteral("schemaVersion"));
    report.reportVersion = requiredString(object, QStringLiteral("reportVersion"));
    report.month = requiredString(object, QStringLiteral("month"));
    report.timeZone = requiredString(object, QStringLiteral("timeZone"));
    report.asOf = requiredString(object, QStringLiteral("asOf"));
    report.learningEnabled = requiredBool(object, QStringLiteral("learningEnabled"));
    report.comparison = requiredString(object, QStringLiteral("comparison"));
    report.causalSavingsClaim = requiredBool(object, QStringLiteral("causalSavingsClaim"));
    report.storage = requiredString(object, QStringLiteral("storage"));
    report.coverage = requiredString(object, QStringLiteral("coverage"));

    const QJsonObject summary = requiredObject(object, QStringLiteral("summary"));
    const QJsonObject actual = requiredObject(summary, QStringLiteral("withQuillmere"));
    auto& s = report.summary;
    s.withQuillmere.observedLimitWindows = requiredInteger(actual, QStringLiteral("observedLimitWindows"));
    s.withQuillmere.observedLimitEpisodes = requiredInteger(actual, QStringLiteral("observedLimitEpisodes"));
    s.withQuillmere.statementCode = requiredString(actual, QStringLiteral("statementCode"));
    const QJsonObject estimated = requiredObject(summary, QStringLiteral("withoutQuillmere"));
    s.withoutQuillmere.estimatedLimitWindows =
        requiredInteger(estimated, QStringLiteral("estimatedLimitWindows"));
    s.withoutQuillmere.possibleAdditionalWindows =
        requiredInteger(estimated, QStringLiteral("possibleAdditionalWindows"));
    s.withoutQuillmere.estimatedLimitEpisodes =
        requiredInteger(estimated, QStringLiteral("estimatedLimitEpisodes"));
    s.withoutQuillmere.possibleLimitEpisodes =
        requiredInteger(estimated, QStringLiteral("possibleLimitEpisodes"));
    s.withoutQuillmere.unknownWindows = requiredInteger(estimated, QStringLiteral("unknownWindows"));
    s.withoutQuillmere.statementCode = requiredString(estimated, QStringLiteral("statementCode"));
    s.windowCount = requiredInteger(summary, QStringLiteral("windowCount"));
    s.observedWindows = requiredInteger(summary, QStringLiteral("observedWindows"));
    s.monthlyUsedPercent = optionalNumber(summary, QStringLiteral("monthlyUsedPercent"));
    for (const QJsonValue& caveat : requiredArray(summary, QStringLiteral("caveats"))) {
        if (!caveat.isString())
            fail(QStringLiteral("caveats"), "holds an element that is not a string");
        s.caveats.append(caveat.toString());
    }

    const QJsonArray rows = requiredArray(object, QStringLiteral("windows"));
    report.windows.reserve(rows.size());
    for (const QJsonValue& row : rows)
        report.windows.push_back(rowFromJson(objectElement(row, QStringLiteral("windows"))));
    return report;
}

Report decodeReport(const QByteArray& body) {
    return reportFromJson(bodyObject(body));
}
Request decodeRequest(const QByteArray& body) {
    return requestFromJson(bodyObject(body));
}

// ---- Instants ------------------------------------------------------------------------------------------

namespace {

constexpr qint64 millisecondsPerDay = 86'400'000;

// Days since 1970-01-01 of a proleptic Gregorian date.
qint64 daysFromCivil(qint64 y, unsigned m, unsigned d) {
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + qint64(doe) - 719468;
}

struct Civil {
    qint64 year;
    unsigned month;
    unsigned day;
};

Civil civilFromDays(qint64 z) {
    z += 719468;
    const qint64 era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const qint64 y = qint64(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {y + (m <= 2), m, d};
}

qint64 floorDiv(qint64 a, qint64 b) {
    qint64 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

bool isLeap(qint64 y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned daysInMonth(qint64 y, unsigned m) {
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

int digits(const QChar* p, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) {
        const char16_t c = p[i].unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c - u'0');
    }
    return value;
}

QString format(qint64 milliseconds, bool withMilliseconds) {
    const qint64 days = floorDiv(milliseconds, millisecondsPerDay);
    const qint64 ofDay = milliseconds - days * millisecondsPerDay;
    const Civil civil = civilFromDays(days);
    if (civil.year < 0 || civil.year > 9999)
        return {};
    const int seconds = int(ofDay / 1000);
    char buffer[32];
    int length;
    if (withMilliseconds)
        length = std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(civil.year),
                               civil.month, civil.day, seconds / 3600, seconds / 60 % 60, seconds % 60,
                               int(ofDay % 1000));
    else
        length = std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(civil.year),
                               civil.month, civil.day, seconds / 3600, seconds / 60 % 60, seconds % 60);
    return QString::fromLatin1(buffer, length);
}

} // namespace

std::optional<qint64> date(const QString& text) {
    const qsizetype length = text.size();
    if (length != 20 && length != 24)
        return std::nullopt;
    const QChar* p = text.constData();
    if (p[4] != u'-' || p[7] != u'-' || p[10] != u'T' || p[13] != u':' || p[16] != u':' ||
        p[length - 1] != u'Z')
        return std::nullopt;
    const int year = digits(p, 4), monthValue = digits(p + 5, 2), day = digits(p + 8, 2);
    const int hour = digits(p + 11, 2), minute = digits(p + 14, 2), second = digits(p + 17, 2);
    int millisecond = 0;
    if (length == 24) {
        if (p[19] != u'.')
            return std::nullopt;
        millisecond = digits(p + 20, 3);
    }
    if (year < 0 || monthValue < 1 || monthValue > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59 || millisecond < 0)
        return std::nullopt;
    if (unsigned(day) > daysInMonth(year, unsigned(monthValue)))
        return std::nullopt;
    const qint64 days = daysFromCivil(year, unsigned(monthValue), unsigned(day));
    return days * millisecondsPerDay + ((hour * 60 + minute) * 60 + second) * qint64(1000) + millisecond;
}

QString canonical(qint64 milliseconds) {
    return format(milliseconds, true);
}
QString wholeSeconds(qint64 milliseconds) {
    return format(milliseconds, false);
}

namespace {

// The folders the system's zone database may live in, the one TZDIR names first.
QStringList zoneDatabaseRoots() {
    QStringList roots;
    if (const QString custom = qEnvironmentVariable("TZDIR"); !custom.isEmpty())
        roots << custom;
    roots << QStringLiteral("/usr/share/zoneinfo") << QStringLiteral("/usr/lib/zoneinfo")
          << QStringLiteral("/usr/share/lib/zoneinfo");
    return roots;
}

// "Factory" is a zone of the database's source that names no place's time ("-00"): it is there
// for building systems, not for people to live in.
bool namesAPlace(const QString& name) {
    return name != QLatin1String("Factory");
}

// The names the zone database lists, its zones and its links, read from its compiled source
// (tzdata.zi: "Z name …" for a zone, "L target name" for a link). Empty when no database folder
// has that file.
std::optional<std::set<QString>> listedZoneNames() {
    for (const QString& root : zoneDatabaseRoots()) {
        QFile file(root + QStringLiteral("/tzdata.zi"));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        std::set<QString> names;
        while (!file.atEnd()) {
            const QList<QByteArray> fields = file.readLine(4096).simplified().split(' ');
            if (fields.size() >= 2 && fields[0] == "Z")
                names.insert(QString::fromLatin1(fields[1]));
            else if (fields.size() >= 3 && fields[0] == "L")
                names.insert(QString::fromLatin1(fields[2]));
        }
        if (!names.empty())
            return names;
    }
    return std::nullopt;
}

// Whether the system's zone database lists a zone of this name. Qt's own list of ids leaves out
// the database's links (Etc/UTC, GMT, US/Eastern, Asia/Calcutta, …), while Qt would also build a
// zone from a POSIX rule ("EST5", "XYZ3") or an offset that no database names, and the database
// folder also holds files that are no zone names ("localtime", "posixrules", the "posix/" and
// "right/" copies): only the listed names count.
bool inZoneDatabase(const QString& identifier) {
    // Database names: letters, digits, "_", "-" and "+", in components separated by "/"; no dot,
    // so no name reaches outside the database folder.
    static const QRegularExpression name(
        QRegularExpression::anchoredPattern(u"[A-Za-z][A-Za-z0-9_+-]*(?:/[A-Za-z0-9_+-]+)*"));
    if (identifier.size() > 128 || !name.match(identifier).hasMatch() || !namesAPlace(identifier))
        return false;
    static const std::optional<std::set<QString>> listed = listedZoneNames();
    if (listed)
        return listed->count(identifier) > 0;
    // A database installed without its source listing: a compiled zone file under one of its
    // folders, leaving out the files that are not zone names.
    static const QRegularExpression notAName(
        QRegularExpression::anchoredPattern(u"(?:posix|right)/.*|localtime|posixrules"));
    if (notAName.match(identifier).hasMatch())
        return false;
    for (const QString& root : zoneDatabaseRoots()) {
        const QFileInfo info(root + u'/' + identifier);
        if (!info.isFile())
            continue;
        QFile file(info.filePath());
        if (file.open(QIODevice::ReadOnly))
            return file.read(4) == "TZif";
    }
    return false;
}

} // namespace

std::optional<QTimeZone> knownZone(const QString& identifier) {
    // The zone database is read once per identifier; the report check may run on any thread.
    static std::mutex mutex;
    static std::map<QString, bool> known;
    const QByteArray id = identifier.toUtf8();
    bool available;
    {
        std::lock_guard lock(mutex);
        const auto found = known.find(identifier);
        if (found != known.end()) {
            available = found->second;
        } else {
            // Names the database lists (and "UTC"): Qt would also take offset names such as
            // "UTC+02:00", which the database does not know.
            available = identifier == QLatin1String("UTC") || inZoneDatabase(identifier);
            if (known.size() < 1024)
                known.emplace(identifier, available);
        }
    }
    if (!available)
        return std::nullopt;
    QTimeZone zone(id);
    if (!zone.isValid())
        return std::nullopt;
    return zone;
}

QString month(qint64 milliseconds, const QTimeZone& zone) {
    const int offset = zone.offsetFromUtc(QDateTime::fromMSecsSinceEpoch(milliseconds, Qt::UTC));
    const qint64 local = milliseconds + qint64(offset) * 1000;
    const Civil civil = civilFromDays(floorDiv(local, millisecondsPerDay));
    char buffer[16];
    const int length = std::snprintf(buffer, sizeof buffer, "%04d-%02u", int(civil.year), civil.month);
    return QString::fromLatin1(buffer, length);
}

bool touchesMonth(qint64 start, qint64 reset, const QString& monthKey, const QTimeZone& zone) {
    return !(monthKey < month(start, zone)) && !(month(reset - 1, zone) < monthKey);
}

// ---- Value checks ----------------------------------------------------------------------------------------

namespace {
bool asciiAlnum(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
}
bool finitePercent(double value, double upper) {
    return std::isfinite(value) && value >= 0 && value <= upper;
}
} // namespace

bool validID(const QString& text) {
    if (text.size() < 8 || text.size() > 80)
        return false;
    for (const QChar c : text)
        if (!asciiAlnum(c.unicode()) && c != u'_' && c != u'-')
            return false;
    return true;
}

bool validModel(const QString& text) {
    if (text.size() < 2 || text.size() > 80)
        return false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        const bool lowerOrDigit = (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9');
        if (!lowerOrDigit && (i == 0 || (c != u'.' && c != u'_' && c != u'-')))
            return false;
    }
    return true;
}

bool validBaseline(const std::optional<Baseline>& baseline) {
    return !baseline || (validID(baseline->id) && validModel(baseline->model));
}

bool validWindow(const Window& window) {
    if (!validID(window.id) || !validID(window.scopeId) || !validID(window.bucketId))
        return false;
    if (!validBaseline(window.baseline))
        return false;
    const auto start = date(window.startsAt);
    const auto reset = date(window.resetsAt);
    if (!start || !reset || *start >= *reset || *reset - *start > longestWindowMilliseconds)
        return false;
    QSet<QString> ids;
    ids.reserve(qsizetype(window.samples.size()));
    for (const Sample& sample : window.samples) {
        if (!validID(sample.id) || ids.contains(sample.id))
            return false;
        ids.insert(sample.id);
        const auto at = date(sample.at);
        if (!at || *at < *start || *at >= *reset)
            return false;
        if (!finitePercent(sample.usedPercent, 100))
            return false;
        if (const auto& estimate = sample.withoutQuillmere) {
            if (!window.baseline || estimate->baselineId != window.baseline->id ||
                !validID(estimate->evidenceId))
                return false;
            if (!finitePercent(estimate->lowerUsedPercent, 100000.0) ||
                !finitePercent(estimate->upperUsedPercent, 100000.0) ||
                estimate->lowerUsedPercent > estimate->upperUsedPercent || !estimate->coversAllUsage)
                return false;
        }
    }
    return true;
}

QString windowKey(Provider provider, const QString& scopeId, const QString& bucketId, qint64 start,
                  qint64 reset) {
    return rawValue(provider) + u'|' + scopeId + u'|' + bucketId + u'|' + canonical(start) + u'|' +
           canonical(reset);
}

// ---- Merging
// ------------------------------------------------------------------------------------------------

std::vector<Window> mergedWindows(const std::vector<Window>& windows) {
    std::vector<Window> result;
    QHash<QString, qsizetype> positionOfKey;
    QHash<QString, QString> keyOfID;
    struct Stored {
        QString windowKey;
        Sample sample;
    };
    QHash<QString, Stored> samples;

    for (const Window& input : windows) {
        if (!validWindow(input))
            throw Invalid(Invalid::response);
        const auto start = date(input.startsAt);
        const auto reset = date(input.resetsAt);
        if (!start || !reset)
            throw Invalid(Invalid::response);
        const QString key = windowKey(input.provider, input.scopeId, input.bucketId, *start, *reset);

        const auto mapped = keyOfID.constFind(input.id);
        if (mapped != keyOfID.constEnd() && *mapped != key)
            throw Invalid(Invalid::response);
        keyOfID.insert(input.id, key);

        qsizetype position;
        const auto known = positionOfKey.constFind(key);
        if (known == positionOfKey.constEnd()) {
            Window copy = input;
            copy.startsAt = canonical(*start);
            copy.resetsAt = canonical(*reset);
            copy.samples.clear();
            position = qsizetype(result.size());
            result.push_back(std::move(copy));
            positionOfKey.insert(key, position);
        } else {
            position = *known;
            const Window& first = result[size_t(position)];
            if (first.kind != input.kind || first.baseline != input.baseline ||
                first.coverageComplete != input.coverageComplete)
                throw Invalid(Invalid::response);
        }

        // A sample is judged alone, inside its window with canonical instants.
        Window single = result[size_t(position)];
        single.samples.clear();
        single.samples.resize(1);
        for (const Sample& sample : input.samples) {
            single.samples[0] = sample;
            if (!validWindow(single))
                throw Invalid(Invalid::response);
            const auto at = date(sample.at);
            if (!at)
                throw Invalid(Invalid::response);
            Sample canonicalSample = sample;
            canonicalSample.at = canonical(*at);
            const QString sampleKey = rawValue(input.provider) + u'|' + input.scopeId + u'|' + sample.id;
            const auto stored = samples.constFind(sampleKey);
            if (stored != samples.constEnd()) {
                if (stored->windowKey != key || !(stored->sample == canonicalSample))
                    throw Invalid(Invalid::response);
                continue;
            }
            samples.insert(sampleKey, Stored{key, canonicalSample});
            result[size_t(position)].samples.push_back(std::move(canonicalSample));
        }
    }
    for (Window& window : result)
        std::stable_sort(window.samples.begin(), window.samples.end(), [](const Sample& a, const Sample& b) {
            if (a.at != b.at)
                return a.at < b.at;
            return a.id < b.id;
        });
    return result;
}

} // namespace quillmere::MonthlyUsage
