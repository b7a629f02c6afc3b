// The window tracker's side of a model switch: what the switch reads of the host goes through the
// tracker's own host choice, focused window and conversation read, so a switch sees the host
// exactly as the card does.

#include "desktop/observation/ClaudeWindowTracker.h"
#include "desktop/observation/ModelSettingApplier.h"

namespace quillmere {

class ClaudeWindowTracker::ApplyHost final : public ModelSettingApplier::Host {
public:
    explicit ApplyHost(ClaudeWindowTracker& tracker) : tracker_(tracker) {}

    std::optional<TargetApplication> targetApplication() override { return tracker_.targetApplication(); }
    std::optional<ax::Element> focusedWindow(const RunningApplication& application) override {
        return tracker_.focusedWindow(application);
    }
    std::optional<ConversationSnapshot> conversationSnapshot() override {
        return tracker_.conversationSnapshot();
    }
    // The clock the availability evidence was stamped with.
    double uptime() const override {
        const Clock* clock = tracker_.environment_.clock;
        return clock ? clock->uptime() : Clock::system().uptime();
    }

private:
    ClaudeWindowTracker& tracker_;
};

ModelSettingApplier& ClaudeWindowTracker::applier() {
    if (!applier_) {
        applyHost_ = std::make_shared<ApplyHost>(*this);
        applier_ = std::make_shared<ModelSettingApplier>(*applyHost_);
    }
    return *applier_;
}

QCoro::Task<bool> ClaudeWindowTracker::apply(AIProvider provider, QString model,
                                             std::optional<QString> modelID, QString effort, bool extended,
                                             CancelToken token) {
    return applier().apply(provider, std::move(model), std::move(modelID), std::move(effort), extended,
                           std::move(token));
}

bool ClaudeWindowTracker::applying() const {
    return applier_ && applier_->applying();
}

std::optional<QString> ClaudeWindowTracker::lastApplyFailure() const {
    return applier_ ? applier_->lastApplyFailure() : std::nullopt;
}

bool ClaudeWindowTracker::failApply(const QString& code) {
    return applier().failApply(code);
}

bool ClaudeWindowTracker::settingIsConfirmed(const QString& model, const std::optional<QString>& modelID,
                                             const QString& effort, bool extended,
                                             const RunningApplication& application) {
    applier();
    return applyHost_->settingIsConfirmed(model, modelID, effort, extended, application);
}

bool ClaudeWindowTracker::isActiveClaudeSettingControl(const ax::Element& element) {
    return ModelSettingApplier::isActiveClaudeSettingControl(element);
}

} // namespace quillmere
