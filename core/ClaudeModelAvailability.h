#pragma once

// Which Claude model settings the user can really select, as evidence from the host's model menu.
//
// A recommendation may only name a setting the host offered recently: a model the account cannot
// use, or an effort the menu never showed, must not be proposed. The evidence is therefore built
// from what was seen, never inferred: enabled menu items grant, anything doubtful revokes, and
// everything expires 60 seconds after it was last seen. Times are seconds of system uptime, passed
// in by the caller so that a clock change cannot extend the evidence.

#include <QString>
#include <QStringList>
#include <QStringView>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace quillmere {

class ClaudeModelAvailability {
public:
    // How long a sighting stays valid.
    static constexpr double freshnessSeconds = 60;

    struct Setting {
        QString modelID;
        QString effort; // empty for the legacy Haiku, which has no effort
        bool extended = false;

        bool operator==(const Setting&) const = default;
        // By id, then effort, then extended (off before on).
        bool operator<(const Setting& other) const;
    };

    struct Evidence {
        QStringList modelIDs;          // sorted, unique
        std::vector<Setting> settings; // sorted, unique
        double validUntil = 0;         // uptime seconds; void from this moment on

        bool operator==(const Evidence&) const = default;

        // No menus seen: nothing is allowed.
        static Evidence empty() { return {}; }

        // The listed id of the family the request means. With an id: that id, when it is listed
        // and belongs to the family ("sonnet" never resolves to a Haiku id). Without: the family's
        // only listed id. None once the evidence has expired, or when the family has no listed id
        // or several.
        std::optional<QString> resolvedID(QStringView model, const std::optional<QString>& modelID,
                                          double now) const;

        // Whether the resolved id is listed at this setting: the same extended flag and, except for
        // the legacy Haiku which has no effort, the same effort.
        bool allows(QStringView model, const std::optional<QString>& modelID, QStringView effort,
                    bool extended, double now) const;
    };

    // How much of the model menu a reading saw. Only a partial or complete (authoritative) reading
    // of an open menu may grant from its rows; only an authoritative one may drop what it does not
    // list.
    enum class MenuState { unknown, closed, partial, authoritative };
    static QString rawValue(MenuState state);
    static std::optional<MenuState> menuState(QStringView rawValue);

    // One element read from the model menu.
    struct MenuRow {
        QString role;
        QString label;
        std::optional<bool> enabled;

        bool operator==(const MenuRow&) const = default;
    };

    // The known Claude model id a menu label names; a menu element is a model row only when this
    // gives an id.
    static std::optional<QString> menuOptionID(QStringView label);

    ClaudeModelAvailability() = default;

    // Folds one reading of the model menu and the selected setting into the evidence and returns
    // the model ids now selectable (the evidence's ids).
    QStringList update(std::optional<std::int32_t> processID, const std::optional<QString>& selectedID,
                       const std::vector<MenuRow>& menuRows, const std::optional<QString>& scopeID,
                       MenuState menuState, const std::optional<QString>& selectedEffort,
                       std::optional<bool> selectedExtended, double now);

    const Evidence& evidence() const { return evidence_; }

private:
    std::optional<std::int32_t> processID_;
    std::optional<QString> scopeID_;
    // When each model and setting was last seen granted.
    std::map<QString, double> modelSeen_;
    std::map<Setting, double> settingSeen_;
    Evidence evidence_;
};

} // namespace quillmere
