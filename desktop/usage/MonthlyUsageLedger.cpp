#include "desktop/usage/MonthlyUsageLedger.h"

#include "desktop/classification/ContractDecoding.h"
#include "desktop/diagnostics/WriteFailures.h"
#include "desktop/usage/UsageFolder.h"
#include "platform/files/AtomicFile.h"
#include "platform/files/OwnedPath.h"
#include "platform/files/RegularFile.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QUuid>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>

namespace quillmere {

using namespace MonthlyUsage;

namespace {

QString newIdentifier() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

std::optional<MonthlyUsageLedger::Store> decodeStore(const QByteArray& bytes) {
    const auto object = json::parseObject(bytes);
    if (!object)
        return std::nullopt;
    MonthlyUsageLedger::Store store;
    try {
        const auto version = json::integer(*object, QStringLiteral("schemaVersion"));
        const auto windows = json::array(*object, QStringLiteral("windows"));
        const auto defaults = json::object(*object, QStringLiteral("defaults"));
        if (!version.isPresent() || !windows.isPresent() || !defaults.isPresent())
            return std::nullopt;
        store.schemaVersion = version.value;
        store.windows.reserve(size_t(windows.value.size()));
        for (const QJsonValue& window : windows.value) {
            if (!window.isObject())
                return std::nullopt;
            store.windows.push_back(windowFromJson(window.toObject()));
        }
        for (auto it = defaults.value.begin(); it != defaults.value.end(); ++it) {
            if (!it.value().isObject())
                return std::nullopt;
            store.defaults.insert(it.key(), baselineFromJson(it.value().toObject()));
        }
    } catch (const DecodingError&) {
        return std::nullopt;
    }
    return store;
}

bool usable(const MonthlyUsageLedger::Store& store) {
    if (store.schemaVersion != 1)
        return false;
    for (const Window& window : store.windows)
        if (!validWindow(window))
            return false;
    for (const Baseline& baseline : store.defaults)
        if (!validID(baseline.id) || !validModel(baseline.model))
            return false;
    QSet<QString> ids;
    for (const Window& window : store.windows) {
        if (ids.contains(window.id))
            return false;
        ids.insert(window.id);
    }
    return true;
}

QByteArray encodeStore(const MonthlyUsageLedger::Store& store) {
    json::Array windows;
    windows.reserve(store.windows.size());
    for (const Window& window : store.windows)
        windows.push_back(toJson(window));
    json::Object defaults;
    for (auto it = store.defaults.begin(); it != store.defaults.end(); ++it)
        defaults.emplace_back(it.key(), toJson(it.value()));
    return json::write(json::Object{{QStringLiteral("schemaVersion"), store.schemaVersion},
                                    {QStringLiteral("windows"), std::move(windows)},
                                    {QStringLiteral("defaults"), std::move(defaults)}});
}

bool validMonth(const QString& month) {
    // "20YY-MM", months 01 to 12.
    if (month.size() != 7 || month[0] != u'2' || month[1] != u'0' || month[4] != u'-')
        return false;
    for (const int i : {2, 3, 5, 6})
        if (month[i] < u'0' || month[i] > u'9')
            return false;
    const int value = (month[5].unicode() - u'0') * 10 + (month[6].unicode() - u'0');
    return value >= 1 && value <= 12;
}

// A folder of our own: created 0700 with its parents where missing, links along it only to
// folders of this user's, and 0700 afterwards whatever it was before, where it really is.
bool preparePrivateFolder(const QString& path, QString* error) {
    const std::optional<QString> real = UsageFolder::prepare(path, error);
    if (!real)
        return false;
    if (::chmod(QFile::encodeName(*real).constData(), 0700) == 0)
        return true;
    *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

} // namespace

QString MonthlyUsageLedger::defaultDirectory() {
    return Paths::inApplicationSupport(QStringLiteral("Quillmere/monthly-usage"));
}

MonthlyUsageLedger::MonthlyUsageLedger(QString directory)
    : directory_(std::move(directory)), file_(directory_ + u'/' + QLatin1String(fileName)) {
    // Nothing is read where another user could have put it (no data folder, or a link on the way
    // to a folder of another user's): no history, and writes there are refused.
    if (directory_.isEmpty() || !OwnedPath::existingPartIsOwned(directory_))
        return;
    // Judged and opened as the application's other files are: a link of this user's to a file of
    // this user's is followed, and a file that is not this user's alone is not history.
    const RegularFile::Contents contents = RegularFile::readOwned(file_, maximumFileBytes);
    if (contents.problem == RegularFile::Problem::missing)
        return; // no history yet; nothing is created until the first write
    const auto store = contents.bytes ? decodeStore(*contents.bytes) : std::nullopt;
    if (store && usable(*store)) {
        store_ = *store;
        return;
    }
    readable_ = false;
    lastError_ = Invalid(Invalid::persistence).description();
}

Request MonthlyUsageLedger::request(const QString& month, const QString& timeZone,
                                    const QDateTime& asOf) const {
    if (!readable_)
        throw Invalid(Invalid::persistence);
    if (!validMonth(month))
        throw Invalid(Invalid::observation);
    const auto zone = knownZone(timeZone);
    if (!zone)
        throw Invalid(Invalid::observation);
    const qint64 asOfMs = asOf.toMSecsSinceEpoch();

    Request request;
    request.month = month;
    request.timeZone = timeZone;
    request.asOf = canonical(asOfMs);
    qsizetype samples = 0;
    for (const Window& window : store_.windows) {
        const auto start = date(window.startsAt);
        const auto reset = date(window.resetsAt);
        if (!start || !reset || !touchesMonth(*start, *reset, month, *zone))
            continue;
        if (qsizetype(request.windows.size()) == maximumWindows)
            throw Invalid(Invalid::requestLimit);
        Window selected = window;
        selected.samples.clear();
        for (const Sample& sample : window.samples) {
            const auto at = date(sample.at);
            if (at && *at <= asOfMs)
                selected.samples.push_back(sample);
        }
        samples += qsizetype(selected.samples.size());
        if (samples > maximumSamples)
            throw Invalid(Invalid::requestLimit);
        request.windows.push_back(std::move(selected));
    }
    if (encode(request).size() > maximumRequestBytes)
        throw Invalid(Invalid::requestLimit);
    return request;
}

void MonthlyUsageLedger::record(Provider provider, const QString& scopeID, const QString& bucketID, Kind kind,
                                const QDateTime& startsAt, const QDateTime& resetsAt,
                                const QDateTime& observedAt, double usedPercent, const QDateTime& now) {
    // Nothing is recorded into a ledger that could not be read; the read failure itself stays in
    // lastError, and the recording fails as every refused observation does.
    if (!readable_)
        throw Invalid(Invalid::observation);
    if (!validID(scopeID) || !validID(bucketID))
        throw Invalid(Invalid::observation);
    if (!std::isfinite(usedPercent) || usedPercent < 0 || usedPercent > 100)
        throw Invalid(Invalid::observation);
    if (!startsAt.isValid() || !resetsAt.isValid() || !observedAt.isValid() || !now.isValid())
        throw Invalid(Invalid::observation);
    const qint64 start = startsAt.toMSecsSinceEpoch();
    const qint64 reset = resetsAt.toMSecsSinceEpoch();
    const qint64 observed = observedAt.toMSecsSinceEpoch();
    if (start >= reset || reset - start > longestWindowMilliseconds)
        throw Invalid(Invalid::observation);
    if (observed < start || observed >= reset || observed > now.toMSecsSinceEpoch())
        throw Invalid(Invalid::observation);
    const QString startText = canonical(start);
    const QString resetText = canonical(reset);
    const QString atText = canonical(observed);
    if (startText.isEmpty() || resetText.isEmpty() || atText.isEmpty())
        throw Invalid(Invalid::observation);

    Store next = store_;
    // Windows are matched by their stored texts: the ledger always writes milliseconds.
    auto window = std::find_if(next.windows.begin(), next.windows.end(), [&](const Window& w) {
        return w.provider == provider && w.scopeId == scopeID && w.bucketId == bucketID &&
               w.startsAt == startText && w.resetsAt == resetText;
    });
    if (window != next.windows.end() && window->kind != kind)
        throw Invalid(Invalid::observation);
    if (window == next.windows.end()) {
        Window created;
        created.id = newIdentifier();
        created.scopeId = scopeID;
        created.provider = provider;
        created.bucketId = bucketID;
        created.kind = kind;
        created.startsAt = startText;
        created.resetsAt = resetText;
        created.baseline = defaultSetting(provider);
        next.windows.push_back(std::move(created));
        window = next.windows.end() - 1;
    }
    const auto same = std::find_if(window->samples.begin(), window->samples.end(),
                                   [&](const Sample& sample) { return sample.at == atText; });
    if (same != window->samples.end()) {
        if (same->usedPercent == usedPercent)
            return; // the same observation again: nothing to write
        throw Invalid(Invalid::observation);
    }
    window->samples.push_back(Sample{newIdentifier(), atText, usedPercent, std::nullopt});
    std::stable_sort(window->samples.begin(), window->samples.end(), [](const Sample& a, const Sample& b) {
        return a.at != b.at ? a.at < b.at : a.id < b.id;
    });
    commit(next);
}

std::optional<Baseline> MonthlyUsageLedger::defaultSetting(Provider provider) const {
    if (!readable_)
        return std::nullopt;
    const auto found = store_.defaults.constFind(rawValue(provider));
    if (found == store_.defaults.constEnd())
        return std::nullopt;
    return *found;
}

void MonthlyUsageLedger::setDefaultSetting(const Baseline& baseline, Provider provider) {
    if (!validBaseline(baseline))
        throw Invalid(Invalid::observation);
    Store next = store_;
    next.defaults.insert(rawValue(provider), baseline);
    commit(next);
}

void MonthlyUsageLedger::commit(const Store& store) {
    if (!readable_)
        throw Invalid(Invalid::persistence);
    // The new file is created 0600 from the start and renamed over the old one, so the history is
    // never readable by others and a failed write leaves the old file, and memory, as they were.
    QString error;
    if (!preparePrivateFolder(directory_, &error) ||
        !AtomicFile::writeOwned(file_, encodeStore(store), &error)) {
        WriteFailures::shared().failed(QStringLiteral("usage ledger"),
                                       error.isEmpty() ? QStringLiteral("write failed") : error);
        lastError_ = Invalid(Invalid::persistence).description();
        throw Invalid(Invalid::persistence);
    }
    WriteFailures::shared().succeeded(QStringLiteral("usage ledger"));
    store_ = store;
    lastError_.reset();
}

} // namespace quillmere
