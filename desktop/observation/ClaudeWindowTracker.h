#pragma once

// Watches one host application (or the frontmost supported one) through accessibility: which
// host to read, its window, its conversation and model picker, and driving the picker.
//
// The element readers and walks it stands on are its own static members, kept in
// AccessibilityReading and ElementWalks.

#include "desktop/classification/AIProvider.h"
#include "desktop/observation/AccessibilityReading.h"
#include "desktop/observation/ConversationSnapshot.h"
#include "desktop/observation/ElementWalks.h"
#include "platform/workspace/Workspace.h"

#include <QString>
#include <QVariantMap>
#include <map>
#include <optional>

namespace quillmere {

class ClaudeWindowTracker : public AccessibilityReading, public ElementWalks {
public:
    using ConversationMessage = ClaudeWindowTrackerConversationMessage;
    using ConversationSnapshot = ClaudeWindowTrackerConversationSnapshot;

    // A running application the tracker may read, with the family of models it runs.
    struct TargetApplication {
        RunningApplication application;
        AIProvider provider;
        friend bool operator==(const TargetApplication&, const TargetApplication&) = default;
    };

    // The hosts known by bundle identifier (lowercased).
    static const std::map<QString, AIProvider> supportedBundleIDs;

    // `bundleID` pins the tracker to that one host; without it any supported host will do.
    explicit ClaudeWindowTracker(std::optional<QString> bundleID = std::nullopt);

    const std::optional<QString>& requiredBundleID() const { return requiredBundleID_; }

    // Whether a running application is a host this tracker may read, and of which family. A
    // pinned tracker accepts only its own host; otherwise a known bundle identifier decides,
    // and failing that the application's name ("Claude" before "ChatGPT").
    std::optional<TargetApplication> candidate(const RunningApplication& application) const;

    // Whether a window-list entry is a normal window (layer 0) of the process `pid`. Entries
    // whose owner or layer is missing or not a number never match.
    static bool windowListEntryMatches(const QVariantMap& entry, qint32 pid);

private:
    std::optional<QString> requiredBundleID_;
};

} // namespace quillmere
