#pragma once

// Everything one read of a host window yields about its open conversation, as a plain record.
//
// The window tracker names these types as its nested `ClaudeWindowTracker::ConversationSnapshot`
// and `ClaudeWindowTracker::ConversationMessage`; they live here, outside the tracker, so that the
// classification code can use them without the tracker's accessibility machinery. The tracker's
// class adds:
//     using ConversationMessage = ClaudeWindowTrackerConversationMessage;
//     using ConversationSnapshot = ClaudeWindowTrackerConversationSnapshot;

#include "core/ClaudeModelAvailability.h"
#include "core/ConversationText.h"
#include "core/MessageList.h"
#include "core/OpenAIRouting.h"
#include "desktop/records/AIProvider.h"
#include "desktop/records/RecommendationCadenceState.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace quillmere {

// One message read from the host; "user" and "assistant" are the roles a classifier may see. The
// text is not necessarily trimmed. Two messages are equal when their roles are and their texts
// read the same (canonically equivalent).
using ClaudeWindowTrackerConversationMessage = ConversationText::Message;

struct ClaudeWindowTrackerConversationSnapshot {
    AIProvider provider = AIProvider::claude;
    // Oldest first; one shared list, so that copying a snapshot of a long conversation, and comparing
    // it with one that shares its messages, costs nothing per message.
    MessageList messages;
    QString currentModel;                  // Claude family, or the OpenAI model id read
    std::optional<QString> currentModelID; // Claude model id read
    QString currentEffort;
    bool currentExtended = false;
    bool currentSettingKnown = false; // model and effort (or extended switch) were read reliably
    std::vector<ObservedSetting> availableSettings; // what an OpenAI picker showed, in order read
    QStringList availableModels;                    // OpenAI model ids shown
    QStringList availableModelIDs;                  // Claude model ids the picker offers
    ClaudeModelAvailability::Evidence claudeAvailability;
    std::optional<QString> surfaceMode; // "work" when the work surface was detected
    QString conversationID;             // conversation key; may be empty
    QString conversationScopeID;        // opaque per-conversation scope id; may be empty
    std::optional<QString> conversationTitle;
    bool conversationIdentityVerified = false;
    int observedUserTurnCount = 0;
    bool hasAttachment = false;
    std::optional<int> historyPosition;
    bool historyCurrent = false;
    bool historyComplete = false; // the messages are verified to be the whole history
    QString extractionSummary;

    friend bool operator==(const ClaudeWindowTrackerConversationSnapshot&,
                           const ClaudeWindowTrackerConversationSnapshot&) = default;

    // The comparable summary the recommendation cadence schedules on.
    RecommendationCadenceInput cadenceInput() const;

    // Identifies what an analysis of this snapshot looks at: the conversation, the current
    // setting and surface, the user's request and turn. Assistant text (still streaming, perhaps)
    // and anything typed but not sent are not part of it. It is a digest, so it carries no
    // conversation content; it is compared, never parsed.
    QString analysisSignature() const;
};

} // namespace quillmere
