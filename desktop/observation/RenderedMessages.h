#pragma once

// Rules for the messages a host renders: which position a message's label announces, the stable
// identifier a rendered message is remembered by, which speaker each rendered text belongs to,
// and how an archive's history is trimmed while the host is still answering.

#include "core/ConversationText.h"
#include "core/Json.h"
#include "core/MessageList.h"
#include "platform/accessibility/Element.h"

#include <QString>
#include <QStringList>
#include <QStringView>
#include <optional>
#include <set>
#include <vector>

namespace quillmere::RenderedMessages {

// The position a label announces: "Message N of M" gives N; otherwise "Message " followed by a
// whole decimal number gives that number. Only labels beginning exactly "Message " count, and
// only positions of at least 1.
std::optional<int> positionFromLabel(QStringView label);

// "message:<position>:<role>", the identifier a rendered message is remembered by.
QString messageIdentifier(int position, QStringView role);

// The identifier of rendered message `index`: the position remembered for it when the read
// stored one, else `fallbackPosition` (the position its element announces).
std::optional<QString> messageIdentifier(int index,
                                         const std::vector<std::optional<int>>& rememberedPositions,
                                         const std::optional<int>& fallbackPosition, QStringView role);

// One speaker per rendered text. A marked text is the user's; an unmarked one is the user's
// only when it matches a sent user text not matched before, otherwise the assistant's.
QStringList renderedMessageRoles(const QStringList& controlTexts, const std::set<int>& markedUserIndices,
                                 const QStringList& userTexts);

// While the host is generating, its last assistant message is still changing: leave it out.
MessageList stableArchiveMessages(const MessageList& messages, bool generating);

// ---------------------------------------------------------------------------------------------
// Reading rendered message elements

// Whether the element's class names, identifiers, help or role description mark a rendered user
// message.
bool isChatGPTUserMessageBubble(const ax::Element& element);

// The position announced by the element's or one of its nearest five ancestors' description or
// title (description first on each), by positionFromLabel; none when no level announces one.
std::optional<int> messagePosition(const ax::Element& element);

// A content-free record of where rendered message `ordinal` sits in the tree: for its root and up
// to six ancestors, the role and what kind of identifiers they carry. The first four messages
// also record their renderer node identifier and attribute names.
json::Object identityEvidence(int ordinal, const QString& role, const ax::Element& root);

} // namespace quillmere::RenderedMessages
