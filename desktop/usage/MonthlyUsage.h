#pragma once

// The monthly usage report's records, their JSON form, and the value checks the ledger, the report
// check and the window share.
//
// One JSON form serves the ledger file, the report request and answer, and the monthly check
// suite's fixtures. Every field is written; an absent optional is written as null, never left out;
// readers accept a missing key or null alike, ignore keys they do not name, and refuse a document
// whose required key is missing, null or of the wrong type, or whose enumeration text is not one of
// its values.
//
// Instants are kept as whole milliseconds since the Unix epoch (qint64) wherever they are compared,
// so that no timestamp ever goes through floating point: "…:00Z" and "…:00.000Z" are the same
// instant, and every real calendar time with 0 or 3 fraction digits reads and writes back exactly.

#include "core/Json.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTimeZone>
#include <exception>
#include <optional>
#include <vector>

namespace quillmere::MonthlyUsage {

// ---- Enumerations (stored and sent as their raw values) ------------------------------------------

enum class Provider { openai, anthropic };
enum class Kind { session, weekly, modelWeekly, other };
enum class Effort { none, low, medium, high, xhigh, max, ultra };
enum class Speed { standard, fast, ultrafast };

const std::vector<Provider>& allProviders();
const std::vector<Effort>& allEfforts();
const std::vector<Speed>& allSpeeds();

QString rawValue(Provider value);
QString rawValue(Kind value);
QString rawValue(Effort value);
QString rawValue(Speed value);
std::optional<Provider> providerFromRaw(const QString& raw);
std::optional<Kind> kindFromRaw(const QString& raw);
std::optional<Effort> effortFromRaw(const QString& raw);
std::optional<Speed> speedFromRaw(const QString& raw);

// ---- Records -------------------------------------------------------------------------------------

// A default model setting, frozen into a window when the ledger first records it.
struct Baseline {
    QString id;
    QString model;
    std::optional<Effort> effort;
    std::optional<Speed> speed;

    bool operator==(const Baseline&) const = default;
};

// The client's estimate of where a window's used percentage would stand at a baseline.
struct Estimate {
    enum class Basis { quotaUnits, paired };

    QString baselineId;
    double lowerUsedPercent = 0;
    double upperUsedPercent = 0;
    Basis basis = Basis::quotaUnits;
    QString evidenceId;
    bool coversAllUsage = false;

    bool operator==(const Estimate&) const = default;
};
QString rawValue(Estimate::Basis value);
std::optional<Estimate::Basis> basisFromRaw(const QString& raw);

// One observation of a window.
struct Sample {
    QString id;
    QString at;
    double usedPercent = 0;
    std::optional<Estimate> withoutQuillmere;

    bool operator==(const Sample&) const = default;
};

// One provider usage-limit window.
struct Window {
    QString id;
    QString scopeId;
    Provider provider = Provider::openai;
    QString bucketId;
    Kind kind = Kind::session;
    QString startsAt;
    QString resetsAt; // exclusive end
    std::optional<Baseline> baseline;
    bool coverageComplete = false;
    std::vector<Sample> samples;

    bool operator==(const Window&) const = default;
};

struct Coverage {
    bool completeForMonth = false;
    bool operator==(const Coverage&) const = default;
};

// The body of a monthly report request.
struct Request {
    qint64 schemaVersion = 1;
    QString month;
    QString timeZone;
    QString asOf;
    Coverage coverage;
    std::vector<Window> windows;

    bool operator==(const Request&) const = default;
    // How many samples all windows hold together.
    qsizetype sampleCount() const;
};

struct Summary {
    struct Actual {
        qint64 observedLimitWindows = 0;
        qint64 observedLimitEpisodes = 0;
        QString statementCode;
    };
    struct Estimated {
        qint64 estimatedLimitWindows = 0;
        qint64 possibleAdditionalWindows = 0;
        qint64 estimatedLimitEpisodes = 0;
        qint64 possibleLimitEpisodes = 0;
        qint64 unknownWindows = 0;
        QString statementCode;
    };
    Actual withQuillmere;
    Estimated withoutQuillmere;
    qint64 windowCount = 0;
    qint64 observedWindows = 0;
    std::optional<double> monthlyUsedPercent;
    QStringList caveats;
};

struct Row {
    struct Actual {
        std::optional<double> usedPercent;
        QString status;
        std::optional<QString> firstReachedObservedAt;
    };
    struct Estimated {
        std::optional<double> lowerUsedPercent;
        std::optional<double> upperUsedPercent;
        std::optional<QString> estimateObservedAt;
        QString status;
        std::optional<QString> basis; // a plain text here, not the enumeration
        std::optional<QString> provenance;
        std::optional<QString> firstEstimatedReachedObservedAt;
        std::optional<QString> firstPossibleReachedObservedAt;
    };
    struct Event {
        bool withQuillmere = false;
        bool withoutQuillmere = false;
        bool possibleWithoutQuillmere = false;
    };

    QString id;
    Provider provider = Provider::openai;
    QString scopeId;
    QString bucketId;
    Kind kind = Kind::session;
    QString startsAt;
    QString resetsAt;
    std::optional<Baseline> baseline;
    QString coverage;
    QStringList issues;
    Actual withQuillmere;
    Estimated withoutQuillmere;
    std::optional<QString> latestObservedAt;
    Event newLimitEvent;
};

// The classification service's answer.
struct Report {
    qint64 schemaVersion = 0;
    QString reportVersion;
    QString month;
    QString timeZone;
    QString asOf;
    bool learningEnabled = false;
    QString comparison;
    bool causalSavingsClaim = false;
    QString storage;
    QString coverage; // a text here, unlike the request's object
    Summary summary;
    std::vector<Row> windows;
};

// ---- The error of the whole monthly usage side -----------------------------------------------------

class Invalid : public std::exception {
public:
    enum Case { observation, persistence, requestLimit, response };
    explicit Invalid(Case kind) : kind_(kind) {}
    Case kind() const { return kind_; }
    // The user text.
    QString description() const;
    const char* what() const noexcept override;
    bool operator==(const Invalid& other) const { return kind_ == other.kind_; }

private:
    Case kind_;
};

// ---- JSON ----------------------------------------------------------------------------------------

json::Value toJson(const Baseline& value);
json::Value toJson(const Estimate& value);
json::Value toJson(const Sample& value);
json::Value toJson(const Window& value);
json::Value toJson(const Request& value);
// The compact bytes the request limits count.
QByteArray encode(const Request& request);

// Readers throw DecodingError (the classification contracts' decoding error) naming the key.
Baseline baselineFromJson(const QJsonObject& object);
Window windowFromJson(const QJsonObject& object);
Request requestFromJson(const QJsonObject& object);
Report reportFromJson(const QJsonObject& object);
// The whole body; anything but an object of the report's form throws DecodingError.
Report decodeReport(const QByteArray& body);
Request decodeRequest(const QByteArray& body);

// ---- Instants, months and time zones -----------------------------------------------------------

// The strict timestamp reader: "YYYY-MM-DDTHH:MM:SS" with an optional "." and exactly three
// digits, then "Z", naming a real calendar date and time of day. Milliseconds since the epoch.
std::optional<qint64> date(const QString& text);
// The canonical form: milliseconds and "Z", 24 characters (years 0000 to 9999).
QString canonical(qint64 milliseconds);
// Whole seconds and "Z" (the fraction is dropped, not rounded).
QString wholeSeconds(qint64 milliseconds);
// A time zone the system's database knows by this identifier (every name of the database, its
// older aliases such as "Etc/UTC" or "US/Eastern" included, and "UTC"), else none: never a zone
// built from a POSIX rule or a UTC offset.
std::optional<QTimeZone> knownZone(const QString& identifier);
// "YYYY-MM" of the instant's Gregorian year and month in the zone.
QString month(qint64 milliseconds, const QTimeZone& zone);
// Whether a window starting at `start` and resetting at `reset` overlaps `monthKey`: the month is
// not before the start's month and the month of the last millisecond before the reset is not
// before it.
bool touchesMonth(qint64 start, qint64 reset, const QString& monthKey, const QTimeZone& zone);

// ---- Value checks --------------------------------------------------------------------------------

bool validID(const QString& text);
bool validModel(const QString& text);
bool validBaseline(const std::optional<Baseline>& baseline);
bool validWindow(const Window& window);
constexpr qint64 longestWindowMilliseconds = 31'622'400'000; // 366 days

// "provider|scopeId|bucketId|start|reset" with both instants in canonical text.
QString windowKey(Provider provider, const QString& scopeId, const QString& bucketId, qint64 start,
                  qint64 reset);

// The request's windows, one per window key, samples in canonical text and in order. Throws
// Invalid::response at the first conflict.
std::vector<Window> mergedWindows(const std::vector<Window>& windows);

// Decodes the answer and recomputes every row, count and statement from the request; returns the
// decoded report unchanged, or throws DecodingError (not a report), Invalid::response.
Report validatedReport(const QByteArray& body, const Request& request);

// ---- Limits shared by the ledger and the report service --------------------------------------------

constexpr qsizetype maximumWindows = 512;
constexpr qsizetype maximumSamples = 4096;
constexpr qsizetype maximumRequestBytes = 1'000'000;
constexpr qint64 maximumResponseBytes = 2'097'152;

// Throws Invalid::requestLimit when the request is over a limit; returns its encoded bytes.
QByteArray encodeWithinLimits(const Request& request);

} // namespace quillmere::MonthlyUsage
