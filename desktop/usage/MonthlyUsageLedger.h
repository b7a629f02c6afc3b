#pragma once

// The local history of provider usage-limit windows with their used-percentage samples, and one
// default model setting per provider, in one JSON file ("monthly-v1.json"); it builds the monthly
// report request from that history and is the only writer of the file.
//
// A file that cannot be read or does not hold a valid history makes the ledger unusable for the
// life of the object: nothing is read from it, and it is never written, moved or replaced, so a
// history the application cannot understand is never lost by being overwritten. A request over a
// limit fails whole; no window is ever cut to fit.

#include "desktop/usage/MonthlyUsage.h"

#include <QDateTime>
#include <QMap>
#include <QString>
#include <optional>

namespace quillmere {

class MonthlyUsageLedger {
public:
    // The whole content of the file.
    struct Store {
        qint64 schemaVersion = 1;
        std::vector<MonthlyUsage::Window> windows;      // in the order of recording
        QMap<QString, MonthlyUsage::Baseline> defaults; // by the provider's raw value

        bool operator==(const Store&) const = default;
    };

    static constexpr const char* fileName = "monthly-v1.json";
    // A ledger larger than this is not read (and so never replaced): the application never makes
    // one, and reading it whole would hold hundreds of megabytes.
    static constexpr qint64 maximumFileBytes = 64 * 1024 * 1024;

    // "Quillmere/monthly-usage" under the application's data folder.
    static QString defaultDirectory();

    // Opens the ledger in `directory`. Creates nothing on disk; a missing file is an empty history.
    explicit MonthlyUsageLedger(QString directory = defaultDirectory());

    // The request for `month` ("YYYY-MM", 2000-01 to 2099-12) reckoned in `timeZone`, with every
    // window that touches the month and its samples up to `asOf`. Throws MonthlyUsage::Invalid
    // (persistence: unusable ledger; observation: bad month or zone; requestLimit).
    MonthlyUsage::Request request(const QString& month, const QString& timeZone, const QDateTime& asOf) const;

    // Records one observation of a provider limit window. Recording the same observation again
    // changes nothing. Throws MonthlyUsage::Invalid (observation, or persistence when the write
    // fails).
    void record(MonthlyUsage::Provider provider, const QString& scopeID, const QString& bucketID,
                MonthlyUsage::Kind kind, const QDateTime& startsAt, const QDateTime& resetsAt,
                const QDateTime& observedAt, double usedPercent, const QDateTime& now);

    std::optional<MonthlyUsage::Baseline> defaultSetting(MonthlyUsage::Provider provider) const;
    // Saves the provider's default; windows already recorded keep the baseline frozen into them.
    void setDefaultSetting(const MonthlyUsage::Baseline& baseline, MonthlyUsage::Provider provider);

    // The user text of the last persistence failure; none after a successful write.
    const std::optional<QString>& lastError() const { return lastError_; }
    const QString& file() const { return file_; }

private:
    // The monthly check suite reads the stored history and commits stores it made itself.
    friend class MonthlyUsageLedgerAccess;

    void commit(const Store& store);

    QString directory_;
    QString file_;
    Store store_;
    bool readable_ = true;
    std::optional<QString> lastError_;
};

// The narrow door the monthly check suite goes through; nothing else in the application uses it.
class MonthlyUsageLedgerAccess {
public:
    static const MonthlyUsageLedger::Store& store(const MonthlyUsageLedger& ledger) { return ledger.store_; }
    static void commit(MonthlyUsageLedger& ledger, const MonthlyUsageLedger::Store& store) {
        ledger.commit(store);
    }
};

} // namespace quillmere
