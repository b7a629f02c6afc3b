// The model switch on a Claude host: choose the model in the picker's menu, then set the effort,
// either through a separate effort control or through the model menu's effort submenu, whose
// change may ask for confirmation in a "Change effort level?" dialog.

#include "core/ClaudeModelSetting.h"
#include "core/ModelControlLabel.h"
#include "desktop/observation/AccessibilityReading.h"
#include "desktop/observation/ElementWalks.h"
#include "desktop/observation/ModelSettingApplier.h"
#include "platform/events/EventPoster.h"

namespace quillmere {

namespace {

std::optional<QString> roleOf(const ax::Element& element) {
    return AccessibilityReading::stringAttribute(QStringLiteral("AXRole"), element);
}

QString normalizedLabel(const ax::Element& element) {
    return ModelControlLabel::normalize(AccessibilityReading::elementLabel(element));
}

} // namespace

bool ModelSettingApplier::pressFirstElement(const QString& choice, const QList<ax::Element>& elements) {
    for (const ax::Element& element : elements) {
        // A menu's label may repeat its selected row; pressing the menu itself does nothing useful.
        if (roleOf(element) == u"AXMenu")
            continue;
        if (!ModelControlLabel::matchesChoice(AccessibilityReading::elementLabel(element), choice))
            continue;
        if (HostInput::press(element))
            return true;
    }
    return false;
}

bool ModelSettingApplier::isEffortSubmenu(const ax::Element& element) {
    return roleOf(element) == u"AXMenu" && normalizedLabel(element).startsWith(u"effort ");
}

bool ModelSettingApplier::hasEffortSubmenu(const QList<ax::Element>& elements) {
    for (const ax::Element& element : elements)
        if (isEffortSubmenu(element))
            return true;
    return false;
}

std::optional<ax::Element> ModelSettingApplier::effortConfirmation(const QList<ax::Element>& elements,
                                                                   const QString& effort) {
    const QString word = effort == u"xhigh" ? QStringLiteral("extra") : effort;
    bool dialog = false;
    for (const ax::Element& element : elements) {
        if (roleOf(element) == u"AXHeading" && normalizedLabel(element) == u"change effort level?") {
            dialog = true;
            break;
        }
    }
    // A "Switch to …" button elsewhere on screen is not this dialog's.
    if (!dialog)
        return std::nullopt;
    const QString confirm = QStringLiteral("switch to ") + word;
    for (const ax::Element& element : elements) {
        if (roleOf(element) == u"AXButton" && normalizedLabel(element) == confirm &&
            AccessibilityReading::canPress(element))
            return element;
    }
    return std::nullopt;
}

bool ModelSettingApplier::isEffortEntry(const ax::Element& element) {
    return normalizedLabel(element).startsWith(u"effort ") && AccessibilityReading::canPress(element);
}

QCoro::Task<bool> ModelSettingApplier::openMenu(Operation& operation) {
    if (HostInput::menu(operation.application))
        co_return true;
    const std::optional<ax::Element> found = picker(operation);
    if (!found || !HostInput::showMenu(*found))
        co_return false;
    const std::function<bool()> menuIsOpen = [&operation] {
        return HostInput::menu(operation.application).has_value();
    };
    QCoro::Task<bool> menuWait = input_.waitFor(menuIsOpen, operation.token);
    const bool opened = co_await menuWait;
    co_return opened;
}

QCoro::Task<bool> ModelSettingApplier::claudeSteps(Operation& operation) {
    const Target& target = operation.target;
    const QString changed = QStringLiteral("conversation_or_availability_changed");

    const std::optional<ax::Element> current = picker(operation);
    const bool modelIsRight =
        current && ClaudeModelSetting::matchesModelChoice(AccessibilityReading::elementLabel(*current),
                                                          target.model, target.modelID);
    if (!modelIsRight) {
        const QString didNotOpen = QStringLiteral("model_menu_did_not_open");
        QCoro::Task<bool> menuOpening = openMenu(operation);
        if (!co_await menuOpening)
            co_return failApply(didNotOpen);
        const std::optional<ax::Element> menu = HostInput::menu(operation.application);
        if (!menu)
            co_return failApply(didNotOpen);
        std::optional<ax::Element> row;
        for (const ax::Element& element :
             ElementWalks::flattenedElements(*menu, ElementWalks::openMenuLimit)) {
            if (AccessibilityReading::canPress(element) &&
                ClaudeModelSetting::matchesModelChoice(AccessibilityReading::elementLabel(element),
                                                       target.model, target.modelID)) {
                row = element;
                break;
            }
        }
        if (!sameConversation(operation))
            co_return failApply(changed);
        if (!row || !HostInput::press(*row))
            co_return failApply(QStringLiteral("model_option_unavailable"));
        const std::function<bool()> pickerMatches = [this, &operation] {
            const std::optional<ax::Element> shown = picker(operation);
            return shown &&
                   ClaudeModelSetting::matchesModelChoice(AccessibilityReading::elementLabel(*shown),
                                                          operation.target.model, operation.target.modelID);
        };
        QCoro::Task<bool> pickerWait = input_.waitFor(pickerMatches, operation.token);
        if (!co_await pickerWait)
            co_return failApply(QStringLiteral("model_change_not_confirmed"));
        if (!sameConversation(operation))
            co_return failApply(changed);
    }

    QCoro::Task<bool> effortSteps = claudeEffortSteps(operation);
    const bool effortDone = co_await effortSteps;
    if (!effortDone)
        co_return false;
    QCoro::Task<bool> confirmation = waitForConfirmation(operation);
    if (!co_await confirmation)
        co_return failApply(QStringLiteral("settings_not_confirmed_check_claude_dialog"));
    co_return true;
}

// True when the final read-back should follow; false when a step failed and left its code.
QCoro::Task<bool> ModelSettingApplier::claudeEffortSteps(Operation& operation) {
    const Target& target = operation.target;
    const std::optional<ax::Element> control = claudeEffortControl(host_, operation.window);
    std::optional<QString> currentEffort;
    if (control)
        currentEffort = ModelControlLabel::effort(AccessibilityReading::elementLabel(*control));
    if (!currentEffort) {
        if (const std::optional<ax::Element> shown = picker(operation))
            currentEffort = ModelControlLabel::effort(AccessibilityReading::elementLabel(*shown));
    }
    if (!ClaudeModelSetting::usesEffort(target.model, target.modelID) || currentEffort == target.effort)
        co_return true;

    const QString optionUnavailable = QStringLiteral("effort_option_unavailable");
    const QString changed = QStringLiteral("conversation_or_availability_changed");

    if (control) {
        if (!HostInput::showMenu(*control))
            co_return failApply(optionUnavailable);
        const std::function<bool()> menuIsOpen = [&operation] {
            return HostInput::menu(operation.application).has_value();
        };
        QCoro::Task<bool> controlMenuWait = input_.waitFor(menuIsOpen, operation.token);
        if (!co_await controlMenuWait)
            co_return failApply(optionUnavailable);
        const std::optional<ax::Element> menu = HostInput::menu(operation.application);
        if (!menu || !sameConversation(operation) ||
            !pressFirstElement(target.effort,
                               ElementWalks::flattenedElements(*menu, ElementWalks::openMenuLimit)))
            co_return failApply(optionUnavailable);
        co_return true;
    }

    // No separate control: the effort is a submenu of the model menu.
    QCoro::Task<bool> effortMenuOpening = openMenu(operation);
    if (!co_await effortMenuOpening)
        co_return failApply(QStringLiteral("effort_menu_unavailable"));
    const std::optional<ax::Element> menu = HostInput::menu(operation.application);
    if (!menu)
        co_return failApply(QStringLiteral("effort_menu_unavailable"));
    std::optional<ax::Element> entry;
    for (const ax::Element& element : ElementWalks::flattenedElements(*menu, ElementWalks::openMenuLimit)) {
        if (isEffortEntry(element)) {
            entry = element;
            break;
        }
    }
    if (!entry || !sameConversation(operation) || !HostInput::press(*entry))
        co_return failApply(QStringLiteral("effort_entry_unavailable"));

    const RunningApplication& application = operation.application;
    const auto surface = [&application] {
        return ElementWalks::optionSurfaceElements(application, ElementWalks::optionSurfaceLimit);
    };
    // Some hosts open the submenu on the press; the others need the key that opens a submenu.
    if (!hasEffortSubmenu(surface())) {
        if (!sameConversation(operation))
            co_return failApply(changed);
        HostInput::postKey(application.processIdentifier, virtualkey::rightArrow);
    }
    const std::function<bool()> submenuVisible = [surface] { return hasEffortSubmenu(surface()); };
    QCoro::Task<bool> submenuWait = input_.waitFor(submenuVisible, operation.token);
    if (!co_await submenuWait)
        co_return failApply(optionUnavailable);

    std::optional<ax::Element> submenu;
    for (const ax::Element& element : surface()) {
        if (isEffortSubmenu(element)) {
            submenu = element;
            break;
        }
    }
    if (!submenu || !sameConversation(operation) ||
        !pressFirstElement(target.effort,
                           ElementWalks::flattenedElements(*submenu, ElementWalks::controlContentsLimit)))
        co_return failApply(optionUnavailable);

    // The dialog is optional: without it the final read-back decides.
    const QString effort = target.effort;
    const std::function<bool()> confirmationVisible = [surface, effort] {
        return effortConfirmation(surface(), effort).has_value();
    };
    QCoro::Task<bool> dialogWait = input_.waitFor(confirmationVisible, operation.token);
    if (co_await dialogWait) {
        if (const std::optional<ax::Element> button = effortConfirmation(surface(), effort)) {
            if (!sameConversation(operation) || !HostInput::press(*button))
                co_return failApply(QStringLiteral("effort_confirmation_unavailable"));
        }
    }
    co_return true;
}

} // namespace quillmere
