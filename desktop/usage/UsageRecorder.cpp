#include "desktop/usage/UsageRecorder.h"

#include "core/ClaudeModelSetting.h"
#include "core/OpenAIRouting.h"
#include "desktop/diagnostics/WriteFailures.h"
#include "desktop/usage/MonthlyUsage.h"
#include "desktop/usage/UsageFolder.h"
#include "platform/files/AtomicFile.h"
#include "platform/files/OwnedPath.h"

#include <QFile>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

namespace {

QDateTime fromMilliseconds(qint64 milliseconds) {
    return QDateTime::fromMSecsSinceEpoch(milliseconds, Qt::UTC);
}

// Appends one whole line with one write. A short or failed write is cut back to the size before
// the line, so the next line never glues onto a fragment.
bool appendLine(int fd, const QByteArray& line) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return false;
    const off_t before = info.st_size;
    ssize_t written;
    do
        written = ::write(fd, line.constData(), size_t(line.size()));
    while (written < 0 && errno == EINTR);
    if (written == ssize_t(line.size()))
        return true;
    if (written > 0)
        (void)::ftruncate(fd, before);
    return false;
}

} // namespace

QString UsageRecorder::defaultDirectory() {
    return Paths::inApplicationSupport(QStringLiteral("Quillmere/observations"));
}

bool UsageRecorder::paused(const Defaults& defaults) {
    // Settings that cannot be used may hold a pause nobody can see: collection stays paused for
    // the run (nothing is recorded that the person may have turned off) until resumed in it.
    return defaults.boolean(QString::fromLatin1(pausedKey)).value_or(defaults.refusal().has_value());
}

UsageRecorder::UsageRecorder(Defaults& defaults, QString directory, const Clock& clock,
                             std::function<QString()> makeID)
    : defaults_(&defaults), directory_(std::move(directory)), clock_(&clock),
      observation_(observationWindowSeconds, std::move(makeID)) {
    // A value that is not a time would keep the period from ever ending; it is replaced by now.
    if (!collectionStarted())
        defaults_->set(QString::fromLatin1(collectionStartedKey), MonthlyUsage::canonical(nowMilliseconds()));
    writeStatus();
}

qint64 UsageRecorder::nowMilliseconds() const {
    return clock_->now().toMSecsSinceEpoch();
}

std::optional<qint64> UsageRecorder::collectionStarted() const {
    const auto stored = defaults_->string(QString::fromLatin1(collectionStartedKey));
    return stored ? MonthlyUsage::date(*stored) : std::nullopt;
}

bool UsageRecorder::checkCollectionWindow() {
    const qint64 now = nowMilliseconds();
    const qint64 started = collectionStarted().value_or(now);
    if (now - started >= collectionPeriodSeconds * 1000) {
        write(observation_.lostContext(u"collection_period_ended", fromMilliseconds(now)));
        // Paused once: setting it again on every tick would send the settings to the disk each time.
        if (!paused(*defaults_))
            defaults_->set(QString::fromLatin1(pausedKey), true);
        writeStatus();
        return false;
    }
    return !paused(*defaults_);
}

void UsageRecorder::observe(const UsageSnapshot& snapshot) {
    if (!checkCollectionWindow())
        return;
    const qint64 now = nowMilliseconds();
    if (!lastRead_ || now - *lastRead_ > observationGapMilliseconds)
        write(observation_.lostContext(u"observation_gap", fromMilliseconds(now)));
    lastRead_ = now;
    write(observation_.observe(snapshot, fromMilliseconds(now)));
}

void UsageRecorder::shown(const Recommendation& recommendation, const UsageSnapshot& snapshot) {
    const QString& model = recommendation.model;
    const bool haiku = model == QLatin1String("haiku");
    if (haiku && !ClaudeModelSetting::isLegacyHaiku(model, recommendation.modelID))
        return;
    if (!checkCollectionWindow() || recommendation.alreadyEfficient)
        return;
    static const QStringList claudeFamilies{QStringLiteral("haiku"), QStringLiteral("sonnet"),
                                            QStringLiteral("opus"), QStringLiteral("fable")};
    if (!claudeFamilies.contains(model) && !OpenAIRouting::models().contains(model))
        return;
    if (!OpenAIRouting::efforts().contains(recommendation.effort))
        return;
    const QString effort = haiku
                               ? QString::fromLatin1(recommendation.extended ? "extended-on" : "extended-off")
                               : recommendation.effort;
    std::optional<double> percent;
    if (const auto& p = recommendation.potentialPercent; p && std::isfinite(*p) && *p >= 0 && *p <= 100)
        percent = *p;
    write(observation_.shown(ObservedSetting{model, effort}, percent, snapshot,
                             fromMilliseconds(nowMilliseconds())));
}

void UsageRecorder::interaction(QStringView kind) {
    if (!checkCollectionWindow())
        return;
    const auto events = observation_.interaction(kind, fromMilliseconds(nowMilliseconds()), pendingApplyID_);
    if (kind == QLatin1String("use_clicked") && !events.empty())
        pendingApplyID_ = events.front().recommendationID;
    else
        pendingApplyID_.reset();
    write(events);
}

void UsageRecorder::lostContext(QStringView reason) {
    const auto events = observation_.lostContext(reason, fromMilliseconds(nowMilliseconds()));
    // Another widget may have paused collection while this one still followed a recommendation:
    // the observation ends, but nothing is written while collection is paused.
    if (paused(*defaults_))
        return;
    write(events);
}

void UsageRecorder::togglePaused() {
    write(observation_.lostContext(u"collection_toggled", fromMilliseconds(nowMilliseconds())));
    const bool wasPaused = paused(*defaults_);
    if (wasPaused) // resuming starts a new three-day period
        defaults_->set(QString::fromLatin1(collectionStartedKey), MonthlyUsage::canonical(nowMilliseconds()));
    defaults_->set(QString::fromLatin1(pausedKey), !wasPaused);
    writeStatus();
}

void UsageRecorder::write(const std::vector<UsageEvent>& events) {
    if (events.empty())
        return;
    if (appendLines(events, nowMilliseconds()))
        lastError_.reset();
    else
        lastError_ = QString::fromLatin1(writeFailed);
    writeStatus();
}

bool UsageRecorder::appendLines(const std::vector<UsageEvent>& events, qint64 now) {
    // The file is opened in the folder where it really is, as it was judged and made: the name
    // with ".." after a link, opened again, would be resolved anew.
    const std::optional<QString> folder = UsageFolder::prepare(directory_, nullptr);
    if (!folder)
        return false;
    const QString path = *folder + QStringLiteral("/usage-") + MonthlyUsage::wholeSeconds(now).left(10) +
                         QStringLiteral(".jsonl");
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return false;
    struct stat info {};
    // This user's alone: a second name for the file could be another user's file.
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && OwnedPath::isUsersAlone(info);
    for (const UsageEvent& event : events) {
        if (!ok)
            break;
        ok = appendLine(fd, json::write(event.toJson()) + '\n');
    }
    ::close(fd); // a failure to close changes nothing already written
    return ok;
}

void UsageRecorder::writeStatus() {
    const qint64 now = nowMilliseconds();
    const qint64 started = collectionStarted().value_or(now);
    const json::Value status = json::Object{
        {QStringLiteral("collectionEndsAt"),
         MonthlyUsage::wholeSeconds(started + collectionPeriodSeconds * 1000)},
        {QStringLiteral("lastWriteError"), lastError_ ? json::Value(*lastError_) : json::Value()},
        {QStringLiteral("learningEnabled"), false},
        {QStringLiteral("mode"), QStringLiteral("collect_only")},
        {QStringLiteral("paused"), paused(*defaults_)},
        {QStringLiteral("updatedAt"), MonthlyUsage::wholeSeconds(now)},
    };
    // Once the collection period has ended every tick of every widget lands here; a status that
    // reads as it already does is left alone rather than replaced and synced again.
    QString error;
    if (UsageFolder::prepare(directory_, &error) &&
        AtomicFile::writeOwned(directory_ + QStringLiteral("/status.json"),
                               json::write(status, {.sortedKeys = true}), &error)) {
        WriteFailures::shared().succeeded(QStringLiteral("observation status"));
        return;
    }
    WriteFailures::shared().failed(QStringLiteral("observation status"),
                                   error.isEmpty() ? QStringLiteral("write failed") : error);
    lastError_ = QString::fromLatin1(statusWriteFailed);
}

} // namespace quillmere
