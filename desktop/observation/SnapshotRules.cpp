#include "desktop/observation/SnapshotRules.h"

#include "core/Text.h"
#include "desktop/observation/ConversationIdentity.h"

#include <algorithm>

namespace quillmere::SnapshotRules {

namespace {

// Plain string order: code point order of the canonical forms, so that a model written with
// decomposed accents sorts where its precomposed spelling does.
int compareText(const QString& a, const QString& b) {
    if (a == b)
        return 0;
    const QString ca = text::canonical(a), cb = text::canonical(b);
    // UTF-16 order differs from code point order only for supplementary characters against
    // U+E000..U+FFFF; comparing the UTF-32 forms keeps the code point order everywhere.
    const auto ua = ca.toUcs4(), ub = cb.toUcs4();
    if (std::lexicographical_compare(ua.begin(), ua.end(), ub.begin(), ub.end()))
        return -1;
    if (std::lexicographical_compare(ub.begin(), ub.end(), ua.begin(), ua.end()))
        return 1;
    return 0;
}

const QString renameEnding = QStringLiteral(", rename session");

} // namespace

bool settingPrecedes(const ObservedSetting& a, const ObservedSetting& b) {
    const int byModel = compareText(a.model, b.model);
    if (byModel != 0)
        return byModel < 0;
    return compareText(a.effort, b.effort) < 0;
}

void sortSettings(std::vector<ObservedSetting>& settings) {
    std::stable_sort(settings.begin(), settings.end(), settingPrecedes);
}

QStringList labelPieces(const std::optional<QString>& title, const std::optional<QString>& description,
                        const std::optional<QString>& value) {
    QStringList pieces;
    for (const auto* piece : {&title, &description, &value})
        if (*piece && !(*piece)->isEmpty())
            pieces.append(**piece);
    return pieces;
}

QString labelText(const QStringList& pieces) {
    return pieces.join(QLatin1Char(' '));
}

QString normalizedLowercasedLabel(QStringView text) {
    // Control labels are nearly always ASCII, and this runs for every button of every read: for
    // ASCII text, split on the ASCII White_Space characters and lower A-Z in one pass, which is
    // exactly what the general path below gives.
    QString out(text.size(), Qt::Uninitialized);
    QChar* write = out.data();
    QChar* const start = write;
    bool pendingSpace = false;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x80)
            return text::lowercased(text::words(text).join(QLatin1Char(' ')));
        if (u == u' ' || (u >= u'\t' && u <= u'\r')) {
            pendingSpace = write != start;
            continue;
        }
        if (pendingSpace)
            *write++ = QLatin1Char(' ');
        pendingSpace = false;
        *write++ = QChar(u >= u'A' && u <= u'Z' ? char16_t(u + (u'a' - u'A')) : u);
    }
    out.truncate(write - start);
    return out;
}

bool isScrollToBottomButton(QStringView role, const QStringList& pieces) {
    if (role != QLatin1String("AXButton"))
        return false;
    return std::any_of(pieces.begin(), pieces.end(), [](const QString& piece) {
        return normalizedLowercasedLabel(piece) == QLatin1String("scroll to bottom");
    });
}

std::optional<QString> webAreaAddress(const std::optional<QString>& url,
                                      const std::optional<QString>& document) {
    if (url)
        return url;
    return document;
}

std::optional<QString> conversationDocument(const std::optional<QString>& windowDocument,
                                            const QStringList& webAreaAddresses) {
    if (windowDocument)
        if (auto canonical = ConversationIdentity::canonicalConversationURL(*windowDocument))
            return canonical;
    for (const QString& address : webAreaAddresses)
        if (auto canonical = ConversationIdentity::canonicalConversationURL(address))
            return canonical;
    return std::nullopt;
}

std::optional<QString> renameSessionTitle(QStringView role, const QString& label) {
    if (role != QLatin1String("AXButton") || !label.endsWith(renameEnding))
        return std::nullopt;
    QString title = label.left(label.size() - renameEnding.size());
    // A button that reads only ", rename session" names no session.
    if (title.isEmpty())
        return std::nullopt;
    return title;
}

bool hasVisibleText(QStringView text) {
    return !text::trimmed(text).isEmpty();
}

} // namespace quillmere::SnapshotRules
