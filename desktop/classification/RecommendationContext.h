#pragma once

// Which messages of a conversation go into a classification request, whether the history sent
// may be called complete, and the opaque conversation scope id sent with it. Both request builders
// and both answer decoders use it, so it is pure: the same snapshot always gives the same result.

#include "desktop/records/ConversationSnapshot.h"
#include "desktop/records/Recommendation.h"

#include <QString>
#include <vector>

namespace quillmere::RecommendationContext {

struct Message {
    QString role;
    QString text;

    friend bool operator==(const Message&, const Message&) = default;
};

struct Window {
    std::vector<Message> messages; // oldest first
    bool historyComplete = false;  // the snapshot's history is complete and nothing was left out
    int availableMessageCount = 0; // eligible messages in the snapshot, chosen or not

    bool isTruncated() const { return qsizetype(messages.size()) < availableMessageCount; }

    friend bool operator==(const Window&, const Window&) = default;
};

// Limits of one request: the UTF-16 length of all texts, and the encoded size budget that starts
// with room for the rest of the body and charges each message its JSON string plus its keys.
inline constexpr qint64 textLimit = 500000;
inline constexpr qint64 budgetLimit = 850000;
inline constexpr qint64 budgetStart = 8000;
inline constexpr qint64 perMessageOverhead = 256;

// The newest contiguous run of eligible messages that fits both limits.
Window window(const ClaudeWindowTrackerConversationSnapshot& snapshot);

// How much of the conversation a request built from the window carries.
RecommendationContextUsage usage(const Window& window);

// The snapshot's scope id when it is a safe token, otherwise "local-" and a hash of the
// conversation key. Never empty.
QString scopeID(const ClaudeWindowTrackerConversationSnapshot& snapshot);

} // namespace quillmere::RecommendationContext
