#include "desktop/classification/RecommendationContext.h"

#include "core/Json.h"
#include "core/Text.h"

#include <algorithm>

namespace quillmere::RecommendationContext {

Window window(const ClaudeWindowTrackerConversationSnapshot& snapshot) {
    // Only the newest messages can fit, so the window is chosen from the end; the rest are only
    // counted. A long conversation is a hundred thousand messages, none of which is copied here.
    const auto eligible = [](const ClaudeWindowTrackerConversationMessage& message) {
        return (message.role == QLatin1String("user") || message.role == QLatin1String("assistant")) &&
               !text::isBlank(message.text);
    };
    const MessageList& messages = snapshot.messages;
    Window result;
    result.availableMessageCount = messages.readableCount();
    qint64 textTotal = 0;
    qint64 budget = budgetStart;
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        if (!eligible(*it))
            continue;
        textTotal += it->text.size();
        if (textTotal > textLimit)
            break;
        // Measured with the writer that produces the request, so the size here is the size sent.
        budget += json::quoted(it->text).size() + perMessageOverhead;
        if (budget > budgetLimit)
            break;
        result.messages.push_back({it->role, it->text});
    }
    std::reverse(result.messages.begin(), result.messages.end());
    result.historyComplete =
        snapshot.historyComplete && qsizetype(result.messages.size()) == result.availableMessageCount;
    return result;
}

QString scopeID(const ClaudeWindowTrackerConversationSnapshot& snapshot) {
    const QString lowered = text::lowercased(snapshot.conversationScopeID);
    const bool safe = !lowered.isEmpty() && lowered.size() <= 128 &&
                      std::all_of(lowered.begin(), lowered.end(), [](QChar c) {
                          const char16_t u = c.unicode();
                          return (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '_' || u == '-';
                      });
    if (safe)
        return lowered;
    // FNV-1a, 64 bits, over the conversation key's UTF-8 bytes.
    quint64 hash = 0xcbf29ce484222325ULL;
    for (const char byte : snapshot.conversationID.toUtf8()) {
        hash ^= quint64(quint8(byte));
        hash *= 0x100000001b3ULL;
    }
    return QStringLiteral("local-") + QString::number(hash, 16);
}

RecommendationContextUsage usage(const Window& window) {
    RecommendationContextUsage usage;
    usage.messageCount = int(window.messages.size());
    for (const auto& message : window.messages) {
        if (message.role == QLatin1String("user"))
            ++usage.userMessageCount;
        else if (message.role == QLatin1String("assistant"))
            ++usage.assistantMessageCount;
    }
    usage.historyComplete = window.historyComplete;
    usage.availableMessageCount = window.availableMessageCount;
    return usage;
}

} // namespace quillmere::RecommendationContext
