#pragma once

// The sent messages of a conversation as a host window renders them, read from a flattened
// accessibility tree: which elements hold a message, whose it is, and its position in the
// conversation when the host numbers its messages.

#include <QString>
#include <QStringList>
#include <QStringView>
#include <optional>
#include <vector>

#include "core/ConversationText.h"

namespace quillmere::SentMessageTree {

// One element of a flattened accessibility tree. `children` are indices into the same array and
// index 0 is the root. Trees come from other processes, so every reader here tolerates indices
// out of range, shared children and cycles: each element is visited at most once, through the
// first parent that reaches it from the root.
struct Node {
    QString role;
    QStringList labels;
    QStringList semanticLabels; // help and description texts
    QStringList positionLabels; // "Message 12", "Message 79 of 86"
    bool userBubble = false;
    bool userAction = false;
    std::vector<int> children;
    bool excluded = false;

    // Absent semantic labels mean the labels.
    Node(QString role, QStringList labels = {}, std::optional<QStringList> semanticLabels = std::nullopt,
         QStringList positionLabels = {}, bool userBubble = false, bool userAction = false,
         std::vector<int> children = {}, bool excluded = false);

    bool operator==(const Node&) const = default;
};

// One extracted message: its speaker, its text (paragraphs joined by line feeds), the index of the
// element that holds it, and the text elements its text was read from.
struct Message {
    QString role;
    QString text;
    int root = 0;
    std::vector<int> contentRoots;

    ConversationText::Message conversationMessage() const { return {role, text}; }
    bool operator==(const Message&) const = default;
};

struct Ordinal {
    int position = 0;
    int total = 0;
    bool operator==(const Ordinal&) const = default;
};

// "Message N of M" (exactly these four words, 1 <= N <= M); none for anything else.
std::optional<Ordinal> conversationOrdinal(QStringView label);

// The position a host gives the element's message, read from the position labels of the element
// or of its nearest five ancestors; none when none of them carries one.
std::optional<int> messagePosition(int index, const std::vector<Node>& nodes);

// Every sent message in the tree, ordered by root index. There is no cap on their number, equal
// texts at different places stay separate, and composer or edit fields, excluded subtrees, menus,
// timestamps, unbounded window text and code-block copy controls never become message text.
std::vector<Message> extract(const std::vector<Node>& nodes);

} // namespace quillmere::SentMessageTree
