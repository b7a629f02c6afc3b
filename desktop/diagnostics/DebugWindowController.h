#pragma once

// A small floating panel showing the debug report of one monitor. It refreshes itself once a
// second while it is visible, stops refreshing once it has been closed, and copies a freshly
// built report to the clipboard on request. Closing only hides the panel; opening it again
// refreshes at once and starts refreshing again. It never takes focus from the host application.

#include "platform/tasks/Scheduler.h"
#include "platform/time/Clock.h"

#include <QObject>
#include <QString>
#include <memory>
#include <optional>

class QPlainTextEdit;
class QPushButton;
class QWidget;

namespace quillmere {

class DebugMonitor;

class DebugWindowController : public QObject {
    Q_OBJECT
public:
    // Builds the panel and its views; nothing is shown and no timer runs yet.
    explicit DebugWindowController(DebugMonitor& monitor, Scheduler& scheduler = Scheduler::current(),
                                   const Clock& clock = Clock::system());
    ~DebugWindowController() override;

    // Refreshes the text, shows the panel in front without activating it, and starts the
    // one-second refresh unless it already runs.
    void open();
    // Shows the monitor's current report, assigning the text only when it changed.
    void refresh();
    // Replaces the clipboard's contents with a freshly built report.
    void copyReport();

    QString textForTesting() const;
    QWidget* window() const { return window_.get(); }
    QPushButton* copyButton() const { return copyButton_; }
    bool isRefreshing() const { return timer_.has_value(); }

    static constexpr double refreshInterval = 1.0;

private:
    void scheduleTick();
    void tick();

    DebugMonitor& monitor_;
    Scheduler& scheduler_;
    const Clock& clock_;
    std::unique_ptr<QWidget> window_;
    QPlainTextEdit* textView_ = nullptr;
    QPushButton* copyButton_ = nullptr;
    QString shownText_;
    std::optional<Scheduler::TimerID> timer_;
};

} // namespace quillmere
