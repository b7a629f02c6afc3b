#include "core/ConversationTreeWalk.h"

#include "core/HostConstants.h"
#include "core/Text.h"

namespace quillmere::ConversationTreeWalk {

namespace {

// The host part of an address, with or without a scheme ("claude.ai/epitaxy/x" is how some
// accessibility readers report the page's address).
QStringView hostOf(QStringView address) {
    qsizetype schemeEnd = address.indexOf(QLatin1StringView("://"));
    if (schemeEnd > 0) {
        QStringView scheme = address.first(schemeEnd);
        bool valid = std::all_of(scheme.begin(), scheme.end(), [](QChar c) {
            return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' ||
                   c == u'.';
        });
        if (valid)
            address = address.sliced(schemeEnd + 3);
    }
    qsizetype pathStart = address.size();
    for (QChar stop : {u'/', u'?', u'#'}) {
        qsizetype at = address.indexOf(stop);
        if (at >= 0 && at < pathStart)
            pathStart = at;
    }
    QStringView authority = address.first(pathStart);
    qsizetype at = authority.lastIndexOf(u'@');
    if (at >= 0)
        authority = authority.sliced(at + 1);
    qsizetype colon = authority.indexOf(u':');
    return colon >= 0 ? authority.first(colon) : authority;
}

bool isOnClaudeWebHost(QStringView address) {
    const QLatin1StringView claude(HostConstants::claudeWebHost);
    QStringView host = hostOf(address);
    return host == claude || (host.endsWith(claude) && host.size() > claude.size() &&
                              host[host.size() - claude.size() - 1] == u'.');
}

} // namespace

bool isClaudeEmbeddedWebArea(QStringView role, std::optional<QStringView> address) {
    if (role != QLatin1StringView("AXWebArea") || !address)
        return false;
    const QString lowered = text::lowercased(*address);
    if (lowered.isEmpty())
        return false;
    return !isOnClaudeWebHost(lowered) &&
           !lowered.contains(QLatin1StringView("/applications/claude.app/contents/resources/app.asar"));
}

} // namespace quillmere::ConversationTreeWalk
