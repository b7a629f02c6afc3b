#pragma once

// Local usage events during a three-day collection period: which setting the host showed, which
// recommendation the card showed, whether the user pressed the switch button and whether applying
// worked, and why an observation ended. Events go, one JSON object per line, into a daily file
// "usage-YYYY-MM-DD.jsonl" (UTC date) beside a small "status.json", in "Quillmere/observations"
// under the application's data folder. Nothing in the application reads these files back.
//
// One recorder per host widget; all of them share the folder, the daily file and the two user
// defaults below. No operation throws or reports to its caller: a failure ends in lastError() and
// in the status file's "lastWriteError".
//
// How the shell calls it (all on the main thread):
//   observe(snapshot)          every snapshot the analysis step reads
//   shown(recommendation, s)   after the card shows a new recommendation
//   interaction(kind)          "use_clicked" on the switch button; "apply_verified" or
//                              "apply_failed" when applying ends
//   lostContext(reason)        "app_closed", "rail_dismissed", "supported_app_inactive",
//                              "window_unavailable", "connector_advisory",
//                              "conversation_unavailable", ...
//   togglePaused()             the widget menu's pause / resume item; paused() names its title

#include "core/UsageObservation.h"
#include "desktop/records/Recommendation.h"
#include "platform/config/Defaults.h"
#include "platform/time/Clock.h"

#include <QString>
#include <QStringView>
#include <functional>
#include <optional>
#include <vector>

namespace quillmere {

class UsageRecorder {
public:
    static constexpr const char* collectionStartedKey = "QuillmereCollectionStarted";
    static constexpr const char* pausedKey = "QuillmereObservationPaused";
    static constexpr qint64 collectionPeriodSeconds = 259200; // three days
    static constexpr qint64 observationGapMilliseconds = 4000;
    static constexpr double observationWindowSeconds = 300.0;
    static constexpr const char* writeFailed = "Local collection write failed";
    static constexpr const char* statusWriteFailed = "Local collection status write failed";

    // "Quillmere/observations" under the application's data folder.
    static QString defaultDirectory();
    // Whether collection is paused (the widget menu's item reads "Resume local usage collection"
    // then, else "Pause local usage collection"). Paused too while `defaults` cannot use its file
    // (Defaults::refusal()), unless resumed during the run.
    static bool paused(const Defaults& defaults = Defaults::standard());

    // Stamps the start of the collection period when none is stored (or what is stored is not a
    // time) and writes the status file. `makeID` names each shown recommendation (tests).
    explicit UsageRecorder(Defaults& defaults = Defaults::standard(), QString directory = defaultDirectory(),
                           const Clock& clock = Clock::system(), std::function<QString()> makeID = {});

    void observe(const UsageSnapshot& snapshot);
    void shown(const Recommendation& recommendation, const UsageSnapshot& snapshot);
    void interaction(QStringView kind);
    void lostContext(QStringView reason);
    void togglePaused();

    const std::optional<QString>& lastError() const { return lastError_; }
    const QString& directory() const { return directory_; }

private:
    bool checkCollectionWindow();
    std::optional<qint64> collectionStarted() const;
    void write(const std::vector<UsageEvent>& events);
    bool appendLines(const std::vector<UsageEvent>& events, qint64 now);
    void writeStatus();
    qint64 nowMilliseconds() const;

    Defaults* defaults_;
    QString directory_;
    const Clock* clock_;
    UsageObservation observation_;
    std::optional<qint64> lastRead_;
    std::optional<QString> pendingApplyID_;
    std::optional<QString> lastError_;
};

} // namespace quillmere
