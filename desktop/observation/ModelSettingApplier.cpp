#include "desktop/observation/ModelSettingApplier.h"

#include "core/ClaudeModelSetting.h"
#include "core/ModelControlLabel.h"
#include "core/OpenAIRouting.h"
#include "core/Text.h"
#include "desktop/observation/AccessibilityReading.h"
#include "desktop/observation/ElementWalks.h"
#include "platform/accessibility/Backend.h"
#include "platform/events/EventPoster.h"

#include <QtDebug>
#include <exception>

namespace quillmere {

namespace {

std::optional<QString> roleOf(const ax::Element& element) {
    return AccessibilityReading::stringAttribute(QStringLiteral("AXRole"), element);
}

// The text of the conversation's last sent user message, none when there is none.
std::optional<QString> lastUserText(const ClaudeWindowTrackerConversationSnapshot& snapshot) {
    for (auto message = snapshot.messages.crbegin(); message != snapshot.messages.crend(); ++message)
        if (message->role == u"user")
            return message->text;
    return std::nullopt;
}

bool sameText(const std::optional<QString>& a, const std::optional<QString>& b) {
    if (!a || !b)
        return !a && !b;
    return text::canonicallyEqual(*a, *b);
}

} // namespace

ModelSettingApplier::ModelSettingApplier(Host& host, Scheduler* scheduler) : host_(host), input_(scheduler) {}

bool ModelSettingApplier::failApply(const QString& code) {
    lastApplyFailure_ = code;
    qInfo().noquote() << QStringLiteral("Quillmere model switch: %1").arg(code);
    return false;
}

QCoro::Task<bool> ModelSettingApplier::apply(AIProvider provider, QString model,
                                             std::optional<QString> modelID, QString effort, bool extended,
                                             CancelToken token) {
    if (applying_)
        co_return false;
    // Targets the host cannot have are refused before anything on screen moves.
    if (provider == AIProvider::claude) {
        if (!ClaudeModelSetting::supportsVersion(model, modelID))
            co_return failApply(QStringLiteral("model_version_mismatch"));
        if (model == u"haiku" && (!ClaudeModelSetting::validHaikuTarget(modelID, effort, extended) ||
                                  modelID == ClaudeModelSetting::haiku55ID))
            co_return failApply(QStringLiteral("haiku_version_or_effort_not_enabled"));
    }
    applying_ = true;
    lastApplyFailure_.reset();
    bool ok = false;
    try {
        QCoro::Task<bool> running = run(Target{provider, model, modelID, effort, extended}, token);
        ok = co_await running;
    } catch (...) {
        applying_ = false;
        throw;
    }
    applying_ = false;
    co_return ok;
}

QCoro::Task<bool> ModelSettingApplier::run(Target target, CancelToken token) {
    const QString unavailable = QStringLiteral("accessibility_or_window_unavailable");
    if (!ax::isProcessTrusted())
        co_return failApply(unavailable);
    const std::optional<TargetApplication> host = host_.targetApplication();
    if (!host || host->provider != target.provider)
        co_return failApply(unavailable);
    const std::optional<ax::Element> window = host_.focusedWindow(host->application);
    if (!window)
        co_return failApply(unavailable);

    std::optional<ConversationSnapshot> start = host_.conversationSnapshot();
    if (target.provider == AIProvider::claude) {
        if (!start || !start->currentSettingKnown || !start->conversationIdentityVerified ||
            !start->claudeAvailability.allows(target.model, target.modelID, target.effort, target.extended,
                                              host_.uptime()))
            co_return failApply(QStringLiteral("model_option_unverified"));
    } else if (!start || !OpenAIRouting::supportsRecommendationTarget(target.model, start->surfaceMode)) {
        co_return failApply(QStringLiteral("unsupported_recommendation_target"));
    }

    Operation operation{std::move(target), host->application, *window, std::move(*start), std::move(token)};
    Workspace::current().activate(operation.application.processIdentifier);

    // From here on every exit closes what the switch opened.
    bool ok = false;
    try {
        if (!picker(operation)) {
            ok = failApply(QStringLiteral("model_picker_missing"));
        } else if (operation.target.provider == AIProvider::openAI) {
            QCoro::Task<bool> steps = openAISteps(operation);
            ok = co_await steps;
        } else {
            QCoro::Task<bool> steps = claudeSteps(operation);
            ok = co_await steps;
        }
    } catch (...) {
        cleanUp(operation);
        throw;
    }
    cleanUp(operation);
    co_return ok;
}

void ModelSettingApplier::cleanUp(const Operation& operation) {
    if (const std::optional<ax::Element> open = HostInput::menu(operation.application))
        ax::performAction(*open, QStringLiteral("AXCancel"));
    if (operation.target.provider == AIProvider::openAI && openAIModelListShowing(operation.application))
        HostInput::postKey(operation.application.processIdentifier, virtualkey::escape);
}

// MARK: - Reading the host during a switch

bool ModelSettingApplier::isPickerRole(const std::optional<QString>& role) {
    return role == u"AXPopUpButton" || role == u"AXButton" || role == u"AXMenuButton";
}

bool ModelSettingApplier::isActiveClaudeSettingControl(const ax::Element& element) {
    if (!isPickerRole(roleOf(element)) || !HostInput::passesEnabledGate(element))
        return false;
    const QString label = AccessibilityReading::elementLabel(element);
    if (!ModelControlLabel::model(label) && !ModelControlLabel::effort(label) &&
        !ModelControlLabel::normalize(label).startsWith(u"effort"))
        return false;
    // A row of an open menu or a model named among the conversation's sources is no control.
    return !ElementWalks::isInAXMenu(element) && !ElementWalks::isInSourcesPanel(element);
}

std::optional<ax::Element> ModelSettingApplier::picker(Host& host, AIProvider provider,
                                                       const ax::Element& window) {
    return picker(host, provider,
                  ElementWalks::flattenedInteractiveElements(window, ElementWalks::interactiveLimit));
}

std::optional<ax::Element> ModelSettingApplier::picker(Host& host, AIProvider provider,
                                                       const QList<ax::Element>& elements) {
    for (const ax::Element& element : elements) {
        if (!ElementWalks::isModelPicker(element))
            continue;
        if (provider == AIProvider::claude && !host.isActiveClaudeSettingControl(element))
            continue;
        return element;
    }
    return std::nullopt;
}

std::optional<ax::Element> ModelSettingApplier::claudeEffortControl(Host& host, const ax::Element& window) {
    return claudeEffortControl(
        host, ElementWalks::flattenedInteractiveElements(window, ElementWalks::interactiveLimit));
}

std::optional<ax::Element> ModelSettingApplier::claudeEffortControl(Host& host,
                                                                    const QList<ax::Element>& elements) {
    for (const ax::Element& element : elements) {
        if (host.isActiveClaudeSettingControl(element) &&
            ModelControlLabel::normalize(AccessibilityReading::elementLabel(element)).startsWith(u"effort") &&
            AccessibilityReading::canPress(element))
            return element;
    }
    return std::nullopt;
}

bool ModelSettingApplier::readSettingBack(Host& host, const QString& model,
                                          const std::optional<QString>& modelID, const QString& effort,
                                          bool extended, const RunningApplication& application) {
    const std::optional<ax::Element> window = host.focusedWindow(application);
    if (!window)
        return false;
    // Every OpenAI model id begins "gpt-"; the target says which family's picker to read.
    const AIProvider provider = model.startsWith(u"gpt-") ? AIProvider::openAI : AIProvider::claude;
    const QList<ax::Element> elements =
        ElementWalks::flattenedElements(*window, ElementWalks::confirmationLimit);
    const std::optional<ax::Element> found = picker(host, provider, elements);
    if (!found)
        return false;
    const QString label = AccessibilityReading::elementLabel(*found);
    const std::optional<QString> observedModel = ModelControlLabel::model(label);
    if (!observedModel)
        return false;
    const std::optional<QString> observedID = ModelControlLabel::modelIdentifier(label);

    std::optional<QString> observedEffort;
    std::optional<bool> observedExtended;
    if (provider == AIProvider::claude) {
        // A separate effort control says what the picker may leave out.
        if (const std::optional<ax::Element> control = claudeEffortControl(host, elements))
            observedEffort = ModelControlLabel::effort(AccessibilityReading::elementLabel(*control));
        if (!observedEffort)
            observedEffort = ModelControlLabel::effort(label);
        observedExtended =
            text::words(ModelControlLabel::normalize(label)).contains(QStringLiteral("extended"));
    } else {
        observedEffort = ModelControlLabel::effort(label);
        if (!observedEffort) {
            for (const ax::Element& element : elements) {
                if (isEffortControl(element)) {
                    observedEffort = ModelControlLabel::effort(AccessibilityReading::elementLabel(element));
                    break;
                }
            }
        }
        observedExtended = false;
    }
    return ClaudeModelSetting::matches(text::lowercased(model), modelID, effort, extended, *observedModel,
                                       observedID, observedEffort, observedExtended);
}

std::optional<ax::Element> ModelSettingApplier::picker(const Operation& operation) {
    return picker(host_, operation.target.provider, operation.window);
}

bool ModelSettingApplier::sameConversation(const Operation& operation) {
    if (operation.token.isCancelled())
        return false;
    if (!HostInput::isActiveApplication(operation.application.processIdentifier))
        return false;
    const std::optional<ax::Element> window = host_.focusedWindow(operation.application);
    if (!window || *window != operation.window)
        return false;
    const std::optional<ConversationSnapshot> fresh = host_.conversationSnapshot();
    if (!fresh)
        return false;
    const Target& target = operation.target;
    if (target.provider == AIProvider::claude &&
        (!fresh->conversationIdentityVerified || !fresh->currentSettingKnown ||
         !fresh->claudeAvailability.allows(target.model, target.modelID, target.effort, target.extended,
                                           host_.uptime())))
        return false;
    const ConversationSnapshot& start = operation.start;
    return fresh->conversationID == start.conversationID && fresh->surfaceMode == start.surfaceMode &&
           sameText(lastUserText(*fresh), lastUserText(start));
}

bool ModelSettingApplier::settingIsConfirmed(const Operation& operation) {
    const Target& target = operation.target;
    return host_.settingIsConfirmed(target.model, target.modelID, target.effort, target.extended,
                                    operation.application);
}

bool ModelSettingApplier::pickerShowsTarget(const Operation& operation) {
    const std::optional<ax::Element> found = picker(operation);
    if (!found)
        return false;
    const QString label = AccessibilityReading::elementLabel(*found);
    if (ModelControlLabel::model(label) != operation.target.model)
        return false;
    return !operation.target.modelID || ModelControlLabel::modelIdentifier(label) == operation.target.modelID;
}

QCoro::Task<bool> ModelSettingApplier::waitForConfirmation(Operation& operation) {
    const std::function<bool()> confirmed = [this, &operation] {
        return sameConversation(operation) && settingIsConfirmed(operation);
    };
    QCoro::Task<bool> confirmation = input_.waitFor(confirmed, operation.token);
    const bool ok = co_await confirmation;
    co_return ok;
}

} // namespace quillmere
