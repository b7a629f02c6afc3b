#pragma once

// The message record and the text rules every reader of a conversation shares: how white space is
// folded, which labels name a speaker, which labels are metadata rather than content, and which
// part of a conversation is sent for analysis.

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <optional>
#include <vector>

#include "core/Json.h"

namespace quillmere::ConversationText {

// One conversation message. `role` is "user" or "assistant" (not validated: readers pass on what
// they saw). Texts are compared as people read them, so canonically equivalent texts are equal.
struct Message {
    QString role;
    QString text;

    bool operator==(const Message& other) const;
};

// The message's JSON form, {"role": …, "text": …}.
json::Value toJson(const Message& message);
// None when either member is missing or not a string.
std::optional<Message> messageFromJson(const QJsonObject& object);

// Every run of white space becomes one blank; both ends are trimmed.
QString normalize(QStringView text);
// Whether the text is printable ASCII with single blanks between words, which normalize leaves as
// it is (and no other normal form changes): most texts are, and then need no copy.
bool isNormalAscii(QStringView text);

// The role of the first label that is a speaker heading ("You said:", "ChatGPT said:", …),
// compared after normalising and lowercasing; none when no label is one.
std::optional<QString> headingRole(const QStringList& labels);

// The message of the first label that begins with a speaker heading followed by white space and
// some text ("ChatGPT said: Done." gives assistant "Done."); none when no label does.
std::optional<Message> message(const QStringList& labels);

// Whether a label is the copy action of a sent message ("Copy", "Copy message").
bool isSentUserCopyAction(QStringView label);

// Whether some label marks a rendered user message (the hosts' class names or role texts).
bool isRenderedUserMessageMarker(const QStringList& labels);

// Whether a label is only a message's metadata: "just now", "copied just now" or
// "<number> <unit> ago"; a sentence that merely contains such words is content.
bool isMessageMetadata(QStringView label);

// Whether the conversation holds a user message with some visible text.
bool hasSentContext(const Message* first, const Message* last);
inline bool hasSentContext(const std::vector<Message>& messages) {
    return hasSentContext(messages.data(), messages.data() + messages.size());
}

// The last `limit` user messages with visible text, in order.
std::vector<Message> recentUserRequests(const std::vector<Message>& messages, int limit);

// At most `limit` of the latest messages, in order, always keeping the latest user message and,
// when that one is a short follow-up and the budget allows, the previous substantive request.
std::vector<Message> recentContext(const std::vector<Message>& messages, int limit);

// Whether a short text refers back to earlier messages ("send it back", "את זה") without naming a
// standalone task of its own.
bool dependsOnPriorContext(QStringView text);

} // namespace quillmere::ConversationText
