#pragma once

// The card suite's groups that drive a real card: its compact form and disclosure, the provider
// header, chips and copy, the conversation binding, the typing debounce and click guard, the
// contract results shown on it, the ChatGPT flow and collecting states, the retained and frozen
// card, the Switch action, long content, the Ask flow and the request-log rows, and the palette's
// contrast. One object holds the suite's main card and panel and the recording cells of the hook
// probes from the first card group to the end of the run.

#include "desktop/checks/CheckReporter.h"
#include "desktop/records/Recommendation.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QWidget;

namespace quillmere {
class CardPanel;
class RailViewController;
class RequestLogStore;
} // namespace quillmere

namespace quillmere::NativeCardChecks {

// The panel width the expand sizing probe gives the compact-card scenario's panel when the card
// enters (true) or leaves (false) the expanded mode: the widths the application widget's own
// handler on that hook gives its panel.
double expandSizingWidth(bool expanded);

class CardChecks {
public:
    CardChecks(checks::Reporter check, QString outputDirectory);
    ~CardChecks();
    CardChecks(const CardChecks&) = delete;
    CardChecks& operator=(const CardChecks&) = delete;

    // In run order; the card-free rows of each group are the free functions of NativeCardChecks.h,
    // which the run calls between these.
    void compactCardChecks();         // the compact-card scenario and its Ask entry
    void layoutAndHeaderChecks();     // the main card: versions, compact lines, disclosure, header
    void conversationCardChecks();    // conversation binding on the main card
    void secondCardChecks();          // a second application's card next to the main one
    void chipsAndCopyChecks();        // compact height, targets, chips, fit and Standard copy
    void typingAndClickGuardChecks(); // the debouncer while the card is stale, the click guard
    void claudeContractCardChecks(const Recommendation& switch67); // a decoded Claude switch shown
    void withheldTargetCardCheck();                                // the note of an unsupported OpenAI target
    void modelOptionsCardCheck(const Recommendation& meeting);     // options unavailable
    void abstentionCardChecks(const Recommendation& meeting);      // abstentions keep the card
    void chatGPTCardChecks(const Recommendation& meeting);         // no Switch on a ChatGPT card
    void collectingStateChecks();
    void retainedCardChecks();
    void zeroMessageScanCheck();
    void switchActionChecks();
    void longContentChecks();
    void savingsCopyChecks();
    // The closing group: "View logs", Ask, the request-log rows of `firstLog`, collapse, close,
    // keyboard order and the palette's contrast; then the panel is ordered out.
    void askLogsAndClosingChecks(RequestLogStore& firstLog);

private:
    struct Stage;
    void capture(const QString& name);
    void capture(const QString& name, RailViewController& card, Stage& stage);
    void showOnMain(const Recommendation& recommendation);

    checks::Reporter check_;
    QString output_;
    std::unique_ptr<Stage> main_;
    RailViewController* card_ = nullptr;
    std::unique_ptr<Stage> compact_;
    std::unique_ptr<Stage> second_;
    // Recording cells of the probes; each lives until the run ends.
    std::shared_ptr<bool> expandSizingCell_;
    std::shared_ptr<qint64> useCell_;
    std::shared_ptr<bool> expandCell_;
    std::shared_ptr<QString> askCell_;
    std::shared_ptr<bool> closeCell_;
};

} // namespace quillmere::NativeCardChecks
