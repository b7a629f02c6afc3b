#pragma once

// Working a host's controls the way a user would: accessibility actions on its elements, and
// where a host refuses those, synthetic keys and clicks. Plus the two things every step of a
// model switch needs around them: finding the host's open option menu, and waiting for the host
// to react.
//
// Nothing here throws or retries: each primitive reports whether it did its part, and the caller
// decides what to try next. Keys and clicks are only synthesised while the host is the active
// application, so input never lands in an application the user has turned to meanwhile.
//
// The short pauses inside a key or click sequence block the calling thread, because the host must
// see the events apart; they go through the scheduler's pause, which tests replace with virtual
// time. waitFor suspends instead, so the rest of the main thread keeps running.

#include "platform/accessibility/Element.h"
#include "platform/tasks/Scheduler.h"
#include "platform/tasks/Task.h"
#include "platform/workspace/Workspace.h"

#include <QCoroTask>
#include <QtGlobal>
#include <functional>
#include <optional>

namespace quillmere {

class HostInput {
public:
    // Time for the host to move its keyboard focus before the key arrives.
    static constexpr double focusSettleTime = 0.05;
    // Between key down and key up.
    static constexpr double keyGap = 0.03;
    // Between pointer move, button down and button up.
    static constexpr double clickGap = 0.03;
    // Before the pointer goes back to where the user left it.
    static constexpr double pointerReturnDelay = 0.05;
    // A smaller target is not clicked: its centre may well be someone else's pixel.
    static constexpr double minimumClickTarget = 8.0;
    static constexpr double pollInterval = 0.15;
    static constexpr int pollTries = 16;

    // Pauses and polls run on `scheduler`; without one, on the scheduler current at each call.
    explicit HostInput(Scheduler* scheduler = nullptr) : scheduler_(scheduler) {}

    // False only for an element that says it is disabled (a Boolean false read successfully); an
    // element that cannot say is not held back.
    static bool passesEnabledGate(const ax::Element& element);
    // Performs the element's primary selection action ("AXPress", else "AXPick").
    static bool press(const ax::Element& element);
    // Asks the element for its menu ("AXShowMenu" when offered, with no press after a refusal);
    // an element without that action is pressed instead.
    static bool showMenu(const ax::Element& element);
    // Focuses the element and types one key into the host process `pid`.
    bool activateWithKeyboard(const ax::Element& element, qint32 pid, quint16 virtualKey) const;
    // Clicks the element's centre with the pointer, then puts the pointer back.
    bool clickCenter(const ax::Element& element, qint32 pid) const;
    // Posts one key down and up to the host process, with no pause between them.
    static bool postKey(qint32 pid, quint16 virtualKey);
    static bool isActiveApplication(qint32 pid);

    // The host's open option menu: the first menu on its option surface that lists a model or
    // an effort. Menus of other kinds (a context menu, say) are never taken for it.
    static std::optional<ax::Element> menu(const RunningApplication& application);

    // Polls `condition` until it holds: up to 16 tries, each a cancellation test, an evaluation
    // and a pause, then one last evaluation. False when cancelled or when it never held.
    QCoro::Task<bool> waitFor(std::function<bool()> condition, CancelToken token) const;

private:
    Scheduler& scheduler() const { return scheduler_ ? *scheduler_ : Scheduler::current(); }

    Scheduler* scheduler_;
};

} // namespace quillmere
