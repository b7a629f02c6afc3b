#include "desktop/diagnostics/WriteFailures.h"

#include "desktop/diagnostics/DebugMonitor.h"
#include "platform/config/BundleInfo.h"
#include "platform/config/Defaults.h"

namespace quillmere {

WriteFailures::WriteFailures(DebugMonitor* monitor, std::FILE* stream) : monitor_(monitor), stream_(stream) {}

WriteFailures& WriteFailures::shared() {
    static WriteFailures failures;
    return failures;
}

QString WriteFailures::hostOrApplication(const QString& host) const {
    if (!host.isEmpty())
        return host;
    return BundleInfo::main().bundleIdentifier().value_or(QStringLiteral("quillmere"));
}

bool WriteFailures::failed(const QString& kind, const QString& error, const QString& host, Retry retry) {
    const QString owner = hostOrApplication(host);
    bool news = true;
    bool known = false;
    for (Failure& failure : failures_) {
        if (failure.kind != kind || failure.host != owner)
            continue;
        known = true;
        news = failure.writtenAgain;
        if (news)
            failure.failedAttempts = 0;
        failure.error = error;
        failure.failedAttempts += 1;
        failure.writtenAgain = false;
        break;
    }
    if (!known) {
        // One entry per file, the oldest dropped first, so a failing disk cannot grow the record.
        if (failures_.size() >= failureLimit)
            failures_.removeFirst();
        failures_.append(Failure{kind, owner, error, 1, false});
    }
    if (!news)
        return false;
    // The kind and the system's error only: the path would name the user's home folder.
    say(QStringLiteral("quillmere: could not save the %1 (%2)").arg(kind, error) +
            (retry == Retry::later ? QStringLiteral("; it is tried again later") : QString()),
        QStringLiteral("Could not save the %1: %2").arg(kind, error), owner);
    return true;
}

bool WriteFailures::refused(const QString& kind, const QString& reason, const QString& instead,
                            const QString& host) {
    const QString owner = hostOrApplication(host);
    const QString said = kind + u'\n' + owner;
    if (refusals_.contains(said))
        return false;
    refusals_.insert(said);
    say(QStringLiteral("quillmere: did not use the %1 (%2); %3").arg(kind, reason, instead),
        QStringLiteral("Did not use the %1: %2").arg(kind, reason), owner);
    return true;
}

bool WriteFailures::refusedDefaults(const QString& kind, const Defaults& defaults) {
    if (!defaults.refusal())
        return false;
    return refused(kind, *defaults.refusal(), QStringLiteral("running on the built-in defaults"));
}

void WriteFailures::followDefaults(const QString& kind, Defaults& defaults) {
    refusedDefaults(kind, defaults);
    defaults.setWriteReport([this, kind](const std::optional<QString>& failure) {
        if (failure)
            failed(kind, *failure);
        else
            succeeded(kind);
    });
}

void WriteFailures::say(const QString& line, const QString& event, const QString& host) {
    std::FILE* stream = stream_ ? stream_ : stderr;
    std::fputs((line + u'\n').toLocal8Bit().constData(), stream);
    std::fflush(stream);
    (monitor_ ? *monitor_ : DebugMonitor::shared()).event(hostOrApplication(host), event);
}

bool WriteFailures::succeeded(const QString& kind, const QString& host) {
    const QString owner = hostOrApplication(host);
    for (Failure& failure : failures_) {
        if (failure.kind == kind && failure.host == owner && !failure.writtenAgain) {
            failure.writtenAgain = true;
            return true;
        }
    }
    return false;
}

} // namespace quillmere
