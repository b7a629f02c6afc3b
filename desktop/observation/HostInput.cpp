#include "desktop/observation/HostInput.h"

#include "core/ModelControlLabel.h"
#include "desktop/observation/AccessibilityReading.h"
#include "desktop/observation/ElementWalks.h"
#include "platform/accessibility/Backend.h"
#include "platform/events/EventPoster.h"

#include <QPointF>

#include <functional>

namespace quillmere {

bool HostInput::passesEnabledGate(const ax::Element& element) {
    ax::Value enabled;
    if (ax::copyAttributeValue(element, QStringLiteral("AXEnabled"), enabled) != ax::Error::success)
        return true;
    // The platform bridges the numbers 0 and 1 to Booleans; anything else says nothing.
    return enabled.asBoolean() != false;
}

bool HostInput::press(const ax::Element& element) {
    if (!passesEnabledGate(element))
        return false;
    const std::optional<QString> action = AccessibilityReading::primarySelectionAction(element);
    if (!action)
        return false;
    return ax::performAction(element, *action) == ax::Error::success;
}

bool HostInput::showMenu(const ax::Element& element) {
    if (!passesEnabledGate(element))
        return false;
    const QString showMenuAction = QStringLiteral("AXShowMenu");
    // A refused "AXShowMenu" is the answer: pressing instead could trigger the control's other
    // meaning (a picker that sends on press, say).
    if (AccessibilityReading::availableActions(element).contains(showMenuAction))
        return ax::performAction(element, showMenuAction) == ax::Error::success;
    return press(element);
}

namespace {

// One key down and up to the process, with `between` run in between; nothing is posted when
// either event cannot be made.
bool postKeyStroke(qint32 pid, quint16 virtualKey, const std::function<void()>& between) {
    EventPoster& events = EventPoster::current();
    const std::optional<KeyEvent> down = events.createKeyboardEvent(virtualKey, true);
    const std::optional<KeyEvent> up = events.createKeyboardEvent(virtualKey, false);
    if (!down || !up)
        return false;
    events.postToPid(pid, *down);
    between();
    events.postToPid(pid, *up);
    return true;
}

} // namespace

bool HostInput::isActiveApplication(qint32 pid) {
    const std::optional<RunningApplication> application = Workspace::current().application(pid);
    return application && application->isActive;
}

bool HostInput::activateWithKeyboard(const ax::Element& element, qint32 pid, quint16 virtualKey) const {
    if (!isActiveApplication(pid))
        return false;
    if (ax::setAttributeValue(element, QStringLiteral("AXFocused"), ax::Value(true)) != ax::Error::success)
        return false;
    scheduler().pause(focusSettleTime);
    return postKeyStroke(pid, virtualKey, [this] { scheduler().pause(keyGap); });
}

bool HostInput::clickCenter(const ax::Element& element, qint32 pid) const {
    if (!isActiveApplication(pid))
        return false;
    const std::optional<ax::Point> origin =
        AccessibilityReading::pointAttribute(QStringLiteral("AXPosition"), element);
    const std::optional<ax::Size> size =
        AccessibilityReading::sizeAttribute(QStringLiteral("AXSize"), element);
    if (!origin || !size)
        return false;
    // Written so that a NaN side fails too.
    if (!(size->width >= minimumClickTarget) || !(size->height >= minimumClickTarget))
        return false;
    const QPointF centre(origin->x + size->width * 0.5, origin->y + size->height * 0.5);

    EventPoster& events = EventPoster::current();
    const std::optional<QPointF> userPointer = events.pointerLocation();
    const std::optional<MouseEvent> move = events.createMouseEvent(MouseEventType::mouseMoved, centre);
    const std::optional<MouseEvent> down = events.createMouseEvent(MouseEventType::leftMouseDown, centre);
    const std::optional<MouseEvent> up = events.createMouseEvent(MouseEventType::leftMouseUp, centre);
    if (!move || !down || !up)
        return false;
    events.post(*move);
    scheduler().pause(clickGap);
    events.post(*down);
    scheduler().pause(clickGap);
    events.post(*up);
    // The click moved the user's real pointer; give it back.
    if (userPointer) {
        if (const std::optional<MouseEvent> back =
                events.createMouseEvent(MouseEventType::mouseMoved, *userPointer)) {
            scheduler().pause(pointerReturnDelay);
            events.post(*back);
        }
    }
    return true;
}

bool HostInput::postKey(qint32 pid, quint16 virtualKey) {
    // Keys go to the process whether or not it is in front; a user who has turned to another
    // application must not have a menu of this one closed or opened behind their back.
    if (!isActiveApplication(pid))
        return false;
    return postKeyStroke(pid, virtualKey, [] {});
}

std::optional<ax::Element> HostInput::menu(const RunningApplication& application) {
    const QString menuRole = QStringLiteral("AXMenu");
    for (const ax::Element& element :
         ElementWalks::optionSurfaceElements(application, ElementWalks::optionSurfaceLimit)) {
        if (AccessibilityReading::stringAttribute(QStringLiteral("AXRole"), element) != menuRole)
            continue;
        for (const ax::Element& row : ElementWalks::flattenedElements(element, ElementWalks::openMenuLimit)) {
            const QString label = AccessibilityReading::elementLabel(row);
            if (ModelControlLabel::model(label) || ModelControlLabel::effort(label))
                return element;
        }
    }
    return std::nullopt;
}

QCoro::Task<bool> HostInput::waitFor(std::function<bool()> condition, CancelToken token) const {
    Scheduler& clock = scheduler();
    for (int attempt = 0; attempt < pollTries; ++attempt) {
        if (token.isCancelled())
            co_return false;
        if (condition())
            co_return true;
        // A pause cut short by cancellation is no error: the next try's test ends the wait.
        QCoro::Task<bool> pause = quillmere::sleep(pollInterval, token, clock);
        co_await pause;
    }
    co_return condition();
}

} // namespace quillmere
