#pragma once

// How the window tracker names the open conversation: from a web conversation URL, a durable key
// of the selected navigation row, the window's title or, failing all, a fallback text. The name
// lets memory, cadence and card tell one conversation from another.

#include <QString>
#include <optional>

namespace quillmere::ConversationIdentity {

struct Identity {
    QString identity;
    bool verified = false;
    bool operator==(const Identity&) const = default;
};

// A URL on one of the web hosts whose path continues past a conversation prefix.
bool isConversationURL(const QString& text);
// The conversation URL without query or fragment ("https://" added to a bare web-host address);
// none for anything else.
std::optional<QString> canonicalConversationURL(const QString& text);
// A navigation key that names the same row across renders.
bool isDurableNavigationKey(const QString& key);
Identity stableConversationIdentity(const std::optional<QString>& document, const QString& bundleID,
                                    const std::optional<QString>& activeKey,
                                    const std::optional<QString>& title, const QString& fallback);
// A window title without the hosts' suffixes; none when nothing but a host name is left.
std::optional<QString> conversationTitle(const QString& windowTitle);
std::optional<QString> conversationTitleFromNavigationLabel(const QString& label);

} // namespace quillmere::ConversationIdentity
