#pragma once

// Switching the host's open conversation to a model setting by working the host's own model
// picker, menus and dialogs, then reading the picker back to confirm it.
//
// The whole switch is one task on the main thread. Its waits suspend, so the tracker's regular
// reads go on meanwhile; before every press that changes the host it makes sure the user is still
// in the same conversation of the same host, so a user who turns elsewhere stops it. A switch
// that fails leaves one snake_case code in lastApplyFailure() and returns false; every exit after
// the host was brought to the front closes what the switch left open.
//
// The steps per host family live in OpenAIApplySteps.cpp and ClaudeApplySteps.cpp.

#include "core/ClaudeModelAvailability.h"
#include "desktop/observation/ClaudeWindowTracker.h"
#include "desktop/observation/HostInput.h"
#include "desktop/records/AIProvider.h"
#include "desktop/records/ConversationSnapshot.h"
#include "platform/accessibility/Element.h"
#include "platform/tasks/Task.h"
#include "platform/workspace/Workspace.h"

#include <QCoroTask>
#include <QList>
#include <QString>
#include <optional>

namespace quillmere {

class ModelSettingApplier {
public:
    using ConversationSnapshot = ClaudeWindowTrackerConversationSnapshot;
    using TargetApplication = ClaudeWindowTracker::TargetApplication;

    // What the switch needs of the window tracker.
    class Host {
    public:
        virtual ~Host() = default;
        // The host to drive.
        virtual std::optional<TargetApplication> targetApplication() = 0;
        virtual std::optional<ax::Element> focusedWindow(const RunningApplication& application) = 0;
        // A fresh reading of the host's open conversation.
        virtual std::optional<ConversationSnapshot> conversationSnapshot() = 0;
        // Seconds of system uptime, the clock the Claude availability evidence runs on.
        virtual double uptime() const = 0;
        // Whether an element is one of the Claude host's live model or effort controls.
        virtual bool isActiveClaudeSettingControl(const ax::Element& element) {
            return ModelSettingApplier::isActiveClaudeSettingControl(element);
        }
        // Reads the host's current setting back and says whether it is the target.
        virtual bool settingIsConfirmed(const QString& model, const std::optional<QString>& modelID,
                                        const QString& effort, bool extended,
                                        const RunningApplication& application) {
            return ModelSettingApplier::readSettingBack(*this, model, modelID, effort, extended, application);
        }
    };

    // `scheduler` paces the waits and the pauses inside key and click sequences; without one, the
    // scheduler current at each call.
    explicit ModelSettingApplier(Host& host, Scheduler* scheduler = nullptr);

    // Switches the host to the setting. True when the host shows it afterwards. While another
    // switch runs, false at once with no failure code. Cancelling `token` ends the switch at its
    // next wait or check, with false.
    QCoro::Task<bool> apply(AIProvider provider, QString model, std::optional<QString> modelID,
                            QString effort, bool extended, CancelToken token = {});

    bool applying() const { return applying_; }
    // The code of the last failed switch; none after a success and while a switch runs.
    const std::optional<QString>& lastApplyFailure() const { return lastApplyFailure_; }
    // Records and logs a failure code; returns false for the caller to return.
    bool failApply(const QString& code);

    // --- element tests and readers of the switch

    // The picker roles a model or effort control comes in.
    static bool isPickerRole(const std::optional<QString>& role);
    // An enabled picker-like control outside menus and the sources panel whose label names a
    // model or an effort: the model picker or the effort control of a Claude host, never a row
    // of an open menu or a model named in the conversation's sources.
    static bool isActiveClaudeSettingControl(const ax::Element& element);
    // The model picker among the window's interactive elements; none when nothing qualifies.
    static std::optional<ax::Element> picker(Host& host, AIProvider provider, const ax::Element& window);
    // The same among the given elements, in their order.
    static std::optional<ax::Element> picker(Host& host, AIProvider provider,
                                             const QList<ax::Element>& elements);
    // The Claude host's separate effort control among the window's interactive elements: an
    // active setting control whose label begins with "effort" and that can be pressed.
    static std::optional<ax::Element> claudeEffortControl(Host& host, const ax::Element& window);
    static std::optional<ax::Element> claudeEffortControl(Host& host, const QList<ax::Element>& elements);
    // The default read-back, over the focused window's elements (its plain walk): the picker's
    // model, model id and extended switch, and the effort from the picker or the separate effort
    // control, compared with the target.
    static bool readSettingBack(Host& host, const QString& model, const std::optional<QString>& modelID,
                                const QString& effort, bool extended, const RunningApplication& application);

    // OpenAI hosts.
    // The selectable OpenAI model entries on the open option surface, in surface order.
    static QList<ax::Element> openAIModelChoices(const RunningApplication& application);
    // Whether at least two different models are offered: the model list is open.
    static bool openAIModelListShowing(const RunningApplication& application);
    static bool isOpenAITargetChoice(const ax::Element& element, const QString& model,
                                     const std::optional<QString>& modelID, const QString& effort);
    static bool isEffortControl(const ax::Element& element);
    static bool isEffortOption(const ax::Element& element, const QString& effort);

    // Claude hosts.
    // Presses the first element (menus skipped) whose label selects `choice`; a refused press
    // moves on to the next match.
    static bool pressFirstElement(const QString& choice, const QList<ax::Element>& elements);
    static bool hasEffortSubmenu(const QList<ax::Element>& elements);
    // The confirming button of the "change effort level?" dialog for the effort; none unless the
    // dialog's heading is there.
    static std::optional<ax::Element> effortConfirmation(const QList<ax::Element>& elements,
                                                         const QString& effort);
    static bool isEffortEntry(const ax::Element& element);
    static bool isEffortSubmenu(const ax::Element& element);

private:
    struct Target {
        AIProvider provider = AIProvider::openAI;
        QString model;
        std::optional<QString> modelID;
        QString effort;
        bool extended = false;
    };
    // One switch in progress: what it aims at and what it started from.
    struct Operation {
        Target target;
        RunningApplication application;
        ax::Element window;
        ConversationSnapshot start;
        CancelToken token;
    };

    QCoro::Task<bool> run(Target target, CancelToken token);
    void cleanUp(const Operation& operation);

    std::optional<ax::Element> picker(const Operation& operation);
    bool sameConversation(const Operation& operation);
    bool settingIsConfirmed(const Operation& operation);
    bool pickerShowsTarget(const Operation& operation);

    QCoro::Task<bool> openAISteps(Operation& operation);
    QCoro::Task<bool> openOpenAIModelMenu(Operation& operation);
    QCoro::Task<bool> claudeSteps(Operation& operation);
    QCoro::Task<bool> claudeEffortSteps(Operation& operation);
    QCoro::Task<bool> openMenu(Operation& operation);
    QCoro::Task<bool> waitForConfirmation(Operation& operation);

    Host& host_;
    HostInput input_;
    bool applying_ = false;
    std::optional<QString> lastApplyFailure_;
};

} // namespace quillmere
