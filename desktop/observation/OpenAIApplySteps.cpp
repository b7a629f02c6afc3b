// The model switch on an OpenAI host (ChatGPT, Codex): open the model list from the picker, press
// the target model's entry, wait for the picker to show it, then set the effort through the
// separate effort control.

#include "core/ModelControlLabel.h"
#include "desktop/observation/AccessibilityReading.h"
#include "desktop/observation/ElementWalks.h"
#include "desktop/observation/ModelSettingApplier.h"
#include "platform/events/EventPoster.h"

#include <QSet>

namespace quillmere {

QList<ax::Element> ModelSettingApplier::openAIModelChoices(const RunningApplication& application) {
    QList<ax::Element> choices;
    for (const ax::Element& element :
         ElementWalks::optionSurfaceElements(application, ElementWalks::optionSurfaceLimit)) {
        if (!HostInput::passesEnabledGate(element) || !AccessibilityReading::primarySelectionAction(element))
            continue;
        const std::optional<QString> model =
            ModelControlLabel::model(ElementWalks::controlChoiceLabel(element));
        if (!model)
            continue;
        const std::optional<QString> canonical = ModelControlLabel::model(*model);
        if (canonical && canonical->startsWith(u"gpt-"))
            choices.append(element);
    }
    return choices;
}

bool ModelSettingApplier::openAIModelListShowing(const RunningApplication& application) {
    // One model name, however often it shows, is the picker itself or a list that is not open.
    QSet<QString> models;
    for (const ax::Element& choice : openAIModelChoices(application)) {
        if (const std::optional<QString> model =
                ModelControlLabel::model(ElementWalks::controlChoiceLabel(choice)))
            models.insert(*model);
        if (models.size() >= 2)
            return true;
    }
    return false;
}

bool ModelSettingApplier::isOpenAITargetChoice(const ax::Element& element, const QString& model,
                                               const std::optional<QString>& modelID, const QString& effort) {
    const QString label = ElementWalks::controlChoiceLabel(element);
    if (ModelControlLabel::model(label) != model)
        return false;
    if (modelID && ModelControlLabel::modelIdentifier(label) != modelID)
        return false;
    const std::optional<QString> named = ModelControlLabel::effort(label);
    return !named || *named == effort;
}

bool ModelSettingApplier::isEffortControl(const ax::Element& element) {
    if (!isPickerRole(AccessibilityReading::stringAttribute(QStringLiteral("AXRole"), element)))
        return false;
    if (!AccessibilityReading::canPress(element))
        return false;
    const QString label = AccessibilityReading::elementLabel(element);
    return !ModelControlLabel::model(label) && ModelControlLabel::effort(label);
}

bool ModelSettingApplier::isEffortOption(const ax::Element& element, const QString& effort) {
    if (!HostInput::passesEnabledGate(element) || !AccessibilityReading::primarySelectionAction(element))
        return false;
    const QString label = AccessibilityReading::elementLabel(element);
    return !ModelControlLabel::model(label) && ModelControlLabel::effort(label) == effort;
}

QCoro::Task<bool> ModelSettingApplier::openOpenAIModelMenu(Operation& operation) {
    const RunningApplication& application = operation.application;
    if (openAIModelListShowing(application))
        co_return true;
    const std::optional<ax::Element> found = picker(operation);
    if (!found)
        co_return false;
    const ax::Element control = *found;
    const qint32 pid = application.processIdentifier;
    const std::function<bool()> listShowing = [&application] { return openAIModelListShowing(application); };
    // Hosts differ in which of these their picker answers to; the cheapest and least intrusive
    // comes first, the real click last.
    for (int attempt = 0; attempt < 5; ++attempt) {
        // A cancelled switch synthesises no more input: the next attempts would press, type and
        // click into the host after its owner has given up on it.
        if (operation.token.isCancelled())
            co_return false;
        // Whatever the previous attempt half-opened is closed before the next one.
        if (attempt > 0)
            HostInput::postKey(pid, virtualkey::escape);
        bool done = false;
        switch (attempt) {
        case 0:
            done = HostInput::showMenu(control);
            break;
        case 1:
            done = HostInput::press(control);
            break;
        case 2:
            done = input_.activateWithKeyboard(control, pid, virtualkey::space);
            break;
        case 3:
            done = input_.activateWithKeyboard(control, pid, virtualkey::returnKey);
            break;
        default:
            done = input_.clickCenter(control, pid);
            break;
        }
        if (!done)
            continue;
        QCoro::Task<bool> listWait = input_.waitFor(listShowing, operation.token);
        if (co_await listWait)
            co_return true;
    }
    co_return false;
}

QCoro::Task<bool> ModelSettingApplier::openAISteps(Operation& operation) {
    const Target& target = operation.target;
    const QString conversationChanged = QStringLiteral("conversation_changed");

    if (!sameConversation(operation))
        co_return failApply(conversationChanged);
    if (settingIsConfirmed(operation))
        co_return true;

    if (!pickerShowsTarget(operation)) {
        QCoro::Task<bool> listOpening = openOpenAIModelMenu(operation);
        if (!co_await listOpening)
            co_return failApply(QStringLiteral("model_menu_did_not_open"));
        std::optional<ax::Element> entry;
        for (const ax::Element& choice : openAIModelChoices(operation.application)) {
            if (isOpenAITargetChoice(choice, target.model, target.modelID, target.effort)) {
                entry = choice;
                break;
            }
        }
        if (!sameConversation(operation))
            co_return failApply(conversationChanged);
        if (!entry || !HostInput::press(*entry))
            co_return failApply(QStringLiteral("model_option_unavailable"));
        const std::function<bool()> showsTarget = [this, &operation] { return pickerShowsTarget(operation); };
        QCoro::Task<bool> pickerWait = input_.waitFor(showsTarget, operation.token);
        if (!co_await pickerWait)
            co_return failApply(QStringLiteral("model_change_not_confirmed"));
    }
    // Reached with the right model, pressed or already shown: the effort may be right too.
    if (!sameConversation(operation))
        co_return failApply(conversationChanged);
    if (settingIsConfirmed(operation))
        co_return true;

    const QString effortControlUnavailable = QStringLiteral("model_changed_effort_control_unavailable");
    std::optional<ax::Element> control;
    for (const ax::Element& element :
         ElementWalks::flattenedInteractiveElements(operation.window, ElementWalks::interactiveLimit)) {
        if (isEffortControl(element)) {
            control = element;
            break;
        }
    }
    if (!control || !HostInput::showMenu(*control))
        co_return failApply(effortControlUnavailable);
    const std::function<bool()> menuIsOpen = [&operation] {
        return HostInput::menu(operation.application).has_value();
    };
    QCoro::Task<bool> menuWait = input_.waitFor(menuIsOpen, operation.token);
    if (!co_await menuWait)
        co_return failApply(effortControlUnavailable);
    const std::optional<ax::Element> menu = HostInput::menu(operation.application);
    if (!menu)
        co_return failApply(effortControlUnavailable);

    std::optional<ax::Element> option;
    for (const ax::Element& row : ElementWalks::flattenedElements(*menu, ElementWalks::openMenuLimit)) {
        if (isEffortOption(row, target.effort)) {
            option = row;
            break;
        }
    }
    if (!sameConversation(operation))
        co_return failApply(conversationChanged);
    if (!option || !HostInput::press(*option))
        co_return failApply(QStringLiteral("model_changed_effort_option_unavailable"));

    QCoro::Task<bool> confirmation = waitForConfirmation(operation);
    if (!co_await confirmation)
        co_return failApply(QStringLiteral("settings_not_confirmed_check_chatgpt_picker"));
    co_return true;
}

} // namespace quillmere
