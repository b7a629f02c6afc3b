#include "desktop/observation/ConversationIdentity.h"

#include "core/ConversationText.h"
#include "core/HostConstants.h"
#include "core/Text.h"

#include <QStringList>
#include <QUrl>

namespace quillmere::ConversationIdentity {

namespace {

QStringList pathPrefixes(const QString& host) {
    if (host == QLatin1String(HostConstants::claudeWebHost))
        return {QStringLiteral("/chat/"), QStringLiteral("/epitaxy/")};
    if (host == QLatin1String(HostConstants::chatGPTWebHost))
        return {QStringLiteral("/c/")};
    return {};
}

// The host as the text writes it. QUrl gives the host lowercased, and a host in other letters
// is another host here: the authority between "//" and the path, without user or port.
QStringView writtenHost(const QString& text) {
    const qsizetype start = text.indexOf(QLatin1String("//"));
    if (start < 0)
        return {};
    QStringView authority = QStringView(text).sliced(start + 2);
    for (const QChar stop : {QLatin1Char('/'), QLatin1Char('?'), QLatin1Char('#')})
        if (const qsizetype at = authority.indexOf(stop); at >= 0)
            authority = authority.first(at);
    if (const qsizetype at = authority.lastIndexOf(QLatin1Char('@')); at >= 0)
        authority = authority.sliced(at + 1);
    if (const qsizetype colon = authority.lastIndexOf(QLatin1Char(':'));
        colon >= 0 && !authority.sliced(colon).contains(QLatin1Char(']')))
        authority = authority.first(colon);
    return authority;
}

std::optional<QUrl> parse(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    return url;
}

} // namespace

bool isConversationURL(const QString& text) {
    const auto url = parse(text);
    if (!url)
        return false;
    // Compared as written: a host in other letters is another host.
    const QString host = writtenHost(text).toString();
    const QString path = url->path(QUrl::FullyEncoded);
    for (const QString& prefix : pathPrefixes(host))
        if (path.startsWith(prefix) && text::characterCount(path) > text::characterCount(prefix))
            return true;
    return false;
}

std::optional<QString> canonicalConversationURL(const QString& text) {
    QString candidate = text;
    for (const char* host : {HostConstants::claudeWebHost, HostConstants::chatGPTWebHost})
        if (candidate.startsWith(QLatin1String(host) + QLatin1Char('/'))) {
            candidate.prepend(QStringLiteral("https://"));
            break;
        }
    const auto url = parse(candidate);
    if (!url || pathPrefixes(writtenHost(candidate).toString()).isEmpty() || !isConversationURL(candidate))
        return std::nullopt;
    // Cut the text itself rather than re-serialising the parsed URL, so the identity keeps the
    // host's own spelling of the path.
    qsizetype end = candidate.size();
    for (const QChar stop : {QLatin1Char('?'), QLatin1Char('#')}) {
        const qsizetype at = candidate.indexOf(stop);
        if (at >= 0 && at < end)
            end = at;
    }
    return candidate.left(end);
}

bool isDurableNavigationKey(const QString& key) {
    const QString trimmed = text::trimmed(key);
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1String("selected-navigation-element:")))
        return false;
    // Generated element identifiers ("_r_5f_") change between renders.
    return !(trimmed.startsWith(QLatin1String("_r_")) && trimmed.endsWith(QLatin1Char('_')));
}

Identity stableConversationIdentity(const std::optional<QString>& document, const QString& bundleID,
                                    const std::optional<QString>& activeKey,
                                    const std::optional<QString>& title, const QString& fallback) {
    if (document && !document->isEmpty())
        return {*document, true};
    if (activeKey && isDurableNavigationKey(*activeKey))
        return {bundleID + QStringLiteral("|navigation:") + *activeKey, true};
    if (title) {
        const QString normalized = ConversationText::normalize(*title);
        if (!normalized.isEmpty())
            return {bundleID + QStringLiteral("|title:") + normalized, true};
    }
    return {bundleID + QStringLiteral("|fallback:") + fallback, false};
}

std::optional<QString> conversationTitle(const QString& windowTitle) {
    static const QStringList suffixes{
        QStringLiteral(" - Claude"),       QStringLiteral(" \u2014 Claude"), QStringLiteral(" - ChatGPT"),
        QStringLiteral(" \u2014 ChatGPT"), QStringLiteral(" - Codex"),       QStringLiteral(" \u2014 Codex"),
    };
    QString title = text::trimmed(windowTitle);
    for (const QString& suffix : suffixes)
        if (title.endsWith(suffix))
            title = text::trimmed(QStringView(title).chopped(suffix.size()));
    const QString lowered = text::lowercased(title);
    if (title.isEmpty() || lowered == QLatin1String("claude") || lowered == QLatin1String("chatgpt") ||
        lowered == QLatin1String("codex"))
        return std::nullopt;
    return title;
}

std::optional<QString> conversationTitleFromNavigationLabel(const QString& label) {
    static const QStringList notTitles{
        QStringLiteral("more"),    QStringLiteral("options"), QStringLiteral("open conversation options"),
        QStringLiteral("chatgpt"), QStringLiteral("claude"),  QStringLiteral("codex")};
    const QString trimmed = text::trimmed(label);
    const qsizetype length = text::characterCount(trimmed);
    if (length < 2 || length > 180 || notTitles.contains(text::lowercased(trimmed)))
        return std::nullopt;
    return conversationTitle(trimmed);
}

} // namespace quillmere::ConversationIdentity
