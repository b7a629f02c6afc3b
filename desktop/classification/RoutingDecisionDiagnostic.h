#pragma once

// One record about the card last shown with routing metadata, mirrored into a small JSON file for
// whoever inspects the machine. The file is removed when the diagnostic is created, so it never
// describes an earlier run, and it holds only closed-vocabulary codes and flags.

#include "desktop/records/RoutingDecisionMetadata.h"

#include <QString>
#include <optional>

namespace quillmere {

class Clock;

class RoutingDecisionDiagnostic {
public:
    // Writes to `path`; deletes whatever is there now. The clock's wall time stamps each displayed
    // record (the system clock unless given).
    explicit RoutingDecisionDiagnostic(QString path, const Clock* clock = nullptr);

    // The process-wide instance, writing "quillmere-routing-decision.json" in the diagnostics
    // folder; created on first use.
    static RoutingDecisionDiagnostic& shared();

    const QString& path() const { return path_; }

    // A card was shown with this routing metadata. Absent metadata changes nothing.
    void displayed(const std::optional<RoutingDecisionMetadata>& metadata, const QString& owner,
                   bool cardCurrent, bool currentModelKnown, const QString& schedulerReason);
    // The card of `owner` changed state; the file is rewritten only when something changed.
    void update(const QString& owner, bool cardCurrent, const QString& schedulerReason);

    bool hasRecord() const { return record_.has_value(); }

private:
    struct Record {
        QString owner; // held in memory only
        QString timestamp;
        bool cardCurrent = false;
        bool currentModelKnown = false;
        RoutingDecisionMetadata metadata;
        QString schedulerReason;
    };

    void write() const;

    QString path_;
    const Clock* clock_;
    std::optional<Record> record_;
};

} // namespace quillmere
