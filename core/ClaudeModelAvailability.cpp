#include "core/ClaudeModelAvailability.h"

#include "core/ClaudeModelSetting.h"
#include "core/ModelControlLabel.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>

namespace quillmere {

namespace {

using Setting = ClaudeModelAvailability::Setting;

// A row's effort counts only when it is one the models accept; anything else ("Extended",
// "Thinking", an effort of another product) grants nothing.
std::optional<QString> adaptiveEffort(QStringView label) {
    std::optional<QString> effort = ModelControlLabel::effort(label);
    if (effort && ClaudeModelSetting::adaptiveEfforts().contains(*effort))
        return effort;
    return std::nullopt;
}

// Written as "fresh" rather than "expired" so that a non-finite time drops everything instead of
// keeping it forever.
bool isFresh(double seenAt, double now) {
    return now - seenAt < ClaudeModelAvailability::freshnessSeconds;
}

} // namespace

bool ClaudeModelAvailability::Setting::operator<(const Setting& other) const {
    return std::tie(modelID, effort, extended) < std::tie(other.modelID, other.effort, other.extended);
}

std::optional<QString> ClaudeModelAvailability::Evidence::resolvedID(QStringView model,
                                                                     const std::optional<QString>& modelID,
                                                                     double now) const {
    // Not "now >= validUntil": a NaN time must not count as fresh.
    if (!(now < validUntil))
        return std::nullopt;
    QStringList ids;
    for (const QString& id : modelIDs) {
        if (ClaudeModelSetting::family(id) == model)
            ids.append(id);
    }
    if (modelID)
        return ids.contains(*modelID) ? modelID : std::nullopt;
    if (ids.size() == 1)
        return ids.first();
    return std::nullopt;
}

bool ClaudeModelAvailability::Evidence::allows(QStringView model, const std::optional<QString>& modelID,
                                               QStringView effort, bool extended, double now) const {
    const std::optional<QString> id = resolvedID(model, modelID, now);
    if (!id)
        return false;
    return std::any_of(settings.begin(), settings.end(), [&](const Setting& setting) {
        return setting.modelID == *id && setting.extended == extended &&
               (*id == ClaudeModelSetting::haiku45ID || setting.effort == effort);
    });
}

QString ClaudeModelAvailability::rawValue(MenuState state) {
    switch (state) {
    case MenuState::unknown:
        return QStringLiteral("unknown");
    case MenuState::closed:
        return QStringLiteral("closed");
    case MenuState::partial:
        return QStringLiteral("partial");
    case MenuState::authoritative:
        return QStringLiteral("authoritative");
    }
    return QStringLiteral("unknown");
}

std::optional<ClaudeModelAvailability::MenuState> ClaudeModelAvailability::menuState(QStringView rawValue) {
    for (MenuState state :
         {MenuState::unknown, MenuState::closed, MenuState::partial, MenuState::authoritative}) {
        if (rawValue == ClaudeModelAvailability::rawValue(state))
            return state;
    }
    return std::nullopt;
}

std::optional<QString> ClaudeModelAvailability::menuOptionID(QStringView label) {
    std::optional<QString> id = ModelControlLabel::modelIdentifier(label);
    if (id && ClaudeModelSetting::family(*id))
        return id;
    return std::nullopt;
}

QStringList ClaudeModelAvailability::update(std::optional<std::int32_t> processID,
                                            const std::optional<QString>& selectedID,
                                            const std::vector<MenuRow>& menuRows,
                                            const std::optional<QString>& scopeID, MenuState menuState,
                                            const std::optional<QString>& selectedEffort,
                                            std::optional<bool> selectedExtended, double now) {
    // A reading without a usable time cannot say how long it holds: it forgets everything rather
    // than granting something that never expires.
    if (!std::isfinite(now)) {
        processID_.reset();
        scopeID_.reset();
        modelSeen_.clear();
        settingSeen_.clear();
        evidence_ = Evidence::empty();
        return evidence_.modelIDs;
    }

    // A menu seen in another process or conversation says nothing about this one, and without an
    // identity there is no telling: only the selected model survives.
    if (!processID || processID != processID_ || !scopeID || scopeID != scopeID_) {
        modelSeen_.clear();
        settingSeen_.clear();
    }
    processID_ = processID;
    scopeID_ = scopeID;

    std::erase_if(modelSeen_, [&](const auto& entry) { return !isFresh(entry.second, now); });
    std::erase_if(settingSeen_, [&](const auto& entry) { return !isFresh(entry.second, now); });

    // A complete menu is the whole truth: what it does not list is no longer selectable.
    if (menuState == MenuState::authoritative) {
        modelSeen_.clear();
        settingSeen_.clear();
    }

    std::set<QString> grantedIDs;
    std::set<Setting> grantedSettings;
    std::set<QString> revokedIDs;
    std::set<std::pair<QString, QString>> revokedSettings; // (id, effort), both extended flags
    // Unknown and closed readings did not see an open menu: their rows prove nothing.
    if (menuState == MenuState::partial || menuState == MenuState::authoritative) {
        for (const MenuRow& row : menuRows) {
            const std::optional<QString> id = menuOptionID(row.label);
            if (!id || row.role != u"AXMenuItem")
                continue; // static text and generic elements neither grant nor revoke
            const std::optional<QString> effort = adaptiveEffort(row.label);
            if (row.enabled == true) {
                grantedIDs.insert(*id);
                if (effort)
                    grantedSettings.insert(Setting{*id, *effort, false});
            } else if (effort) {
                revokedSettings.insert({*id, *effort});
            } else {
                revokedIDs.insert(*id);
            }
        }
    }

    // A fresh effort row for a model replaces the efforts cached for it earlier: the menu now shows
    // which effort goes with that model.
    for (const Setting& setting : grantedSettings) {
        std::erase_if(settingSeen_,
                      [&](const auto& entry) { return entry.first.modelID == setting.modelID; });
    }
    for (const QString& id : grantedIDs)
        modelSeen_[id] = now;
    for (const Setting& setting : grantedSettings)
        settingSeen_[setting] = now;
    const bool hasSelectedID = selectedID && !selectedID->isEmpty();
    if (hasSelectedID)
        modelSeen_[*selectedID] = now;

    // Revocations come last, so that a disabled duplicate wins over an enabled row and over the
    // selected readback, whatever the order of the rows.
    auto isRevoked = [&](const Setting& setting) {
        return revokedIDs.count(setting.modelID) > 0 ||
               revokedSettings.count({setting.modelID, setting.effort}) > 0;
    };
    for (const QString& id : revokedIDs)
        modelSeen_.erase(id);
    std::erase_if(settingSeen_, [&](const auto& entry) { return isRevoked(entry.first); });

    // The selected setting is evidence of this reading only; caching it would let an effort the
    // user has since left look like an alternative the menu offers.
    std::optional<Setting> selected;
    if (hasSelectedID && modelSeen_.count(*selectedID) > 0) {
        if (*selectedID == ClaudeModelSetting::haiku45ID) {
            if (selectedExtended)
                selected = Setting{*selectedID, QString(), *selectedExtended};
        } else if (selectedEffort && ClaudeModelSetting::adaptiveEfforts().contains(*selectedEffort)) {
            selected = Setting{*selectedID, *selectedEffort, selectedExtended.value_or(false)};
        }
        if (selected && isRevoked(*selected))
            selected.reset();
    }

    Evidence evidence;
    for (const auto& entry : modelSeen_)
        evidence.modelIDs.append(entry.first);
    std::set<Setting> settings;
    for (const auto& entry : settingSeen_)
        settings.insert(entry.first);
    if (selected)
        settings.insert(*selected);
    for (const Setting& setting : settings) {
        if (modelSeen_.count(setting.modelID) > 0)
            evidence.settings.push_back(setting);
    }
    evidence.validUntil = now + freshnessSeconds;
    evidence_ = evidence;
    return evidence_.modelIDs;
}

} // namespace quillmere
