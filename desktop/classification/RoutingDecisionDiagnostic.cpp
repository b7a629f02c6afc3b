#include "desktop/classification/RoutingDecisionDiagnostic.h"

#include "core/IsoTime.h"
#include "core/Json.h"
#include "platform/files/AtomicFile.h"
#include "platform/time/Clock.h"

#include <QDir>
#include <QFile>

namespace quillmere {

namespace {

QString normalizedReason(const QString& reason) {
    return RoutingDecisionMetadata::isSchedulerReason(reason) ? reason : QStringLiteral("unknown");
}

json::Value orNull(const std::optional<QString>& value) {
    return value ? json::Value(*value) : json::Value();
}

} // namespace

RoutingDecisionDiagnostic::RoutingDecisionDiagnostic(QString path, const Clock* clock)
    : path_(std::move(path)), clock_(clock ? clock : &Clock::system()) {
    // A missing file is the normal case; any failure here is as harmless. A run that died between
    // writing and renaming left its temporary beside the file: it goes with the old file.
    QFile::remove(path_);
    AtomicFile::removeStaleTemporaries(path_);
}

RoutingDecisionDiagnostic& RoutingDecisionDiagnostic::shared() {
    static RoutingDecisionDiagnostic instance(
        QDir(Paths::diagnosticsRoot()).filePath(QStringLiteral("quillmere-routing-decision.json")));
    return instance;
}

void RoutingDecisionDiagnostic::displayed(const std::optional<RoutingDecisionMetadata>& metadata,
                                          const QString& owner, bool cardCurrent, bool currentModelKnown,
                                          const QString& schedulerReason) {
    if (!metadata)
        return;
    record_ = Record{owner,     isotime::format(clock_->now()),   cardCurrent, currentModelKnown,
                     *metadata, normalizedReason(schedulerReason)};
    write();
}

void RoutingDecisionDiagnostic::update(const QString& owner, bool cardCurrent,
                                       const QString& schedulerReason) {
    if (!record_ || record_->owner != owner)
        return;
    const QString reason = normalizedReason(schedulerReason);
    if (record_->cardCurrent == cardCurrent && record_->schedulerReason == reason)
        return;
    record_->cardCurrent = cardCurrent;
    record_->schedulerReason = reason;
    write();
}

void RoutingDecisionDiagnostic::write() const {
    if (!record_)
        return;
    const RoutingDecisionMetadata& metadata = record_->metadata;
    const json::Object object{
        {QStringLiteral("timestamp"), record_->timestamp},
        {QStringLiteral("cardCurrent"), record_->cardCurrent},
        {QStringLiteral("currentModelKnown"), record_->currentModelKnown},
        {QStringLiteral("decision"), metadata.decision},
        {QStringLiteral("taskCategory"), orNull(metadata.taskCategory)},
        {QStringLiteral("routingSource"), orNull(metadata.routingSource)},
        {QStringLiteral("routedTaskId"), orNull(metadata.routedTaskId)},
        {QStringLiteral("recommendedModel"), orNull(metadata.recommendedModel)},
        {QStringLiteral("decisionReasonCode"), orNull(metadata.decisionReasonCode)},
        {QStringLiteral("schedulerReason"), record_->schedulerReason},
    };
    json::WriteOptions options;
    options.sortedKeys = true;
    // Created 0600 from the start; a failed write leaves the previous file and is not reported.
    AtomicFile::write(path_, json::write(object, options), 0600);
}

} // namespace quillmere
