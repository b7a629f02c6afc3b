// How the messages a Codex window shows are found among the archived messages of a thread.
//
// The window renders a message differently from how the host stores it: Markdown bold marks are
// gone, a day-and-time badge may follow the text, blanks may appear before punctuation or after a
// Hebrew maqaf, and a user message may have been stored wrapped in injected context. The match
// key removes those differences; the anchor test then demands enough unique, ordered matches.

#include "desktop/observation/CodexLocalConversationArchive.h"

#include <QRegularExpression>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/ConversationText.h"
#include "core/Text.h"

namespace quillmere::CodexLocalConversationArchive {

namespace {

constexpr QChar maqaf = QChar(0x05BE);

const QRegularExpression& badgePattern() {
    static const QRegularExpression pattern = [] {
        QRegularExpression p(QStringLiteral("\\s+(?:Monday|Tuesday|Wednesday|Thursday|Friday|Saturday|Sunday|"
                                            "Today|Yesterday)\\s+\\d{1,2}:\\d{2}\\s*[AP]M(?:\\s+Thinking)?$"),
                             QRegularExpression::UseUnicodePropertiesOption |
                                 QRegularExpression::CaseInsensitiveOption);
        p.optimize();
        return p;
    }();
    return pattern;
}

const QRegularExpression& spaceBeforePunctuationPattern() {
    static const QRegularExpression pattern = [] {
        QRegularExpression p(QStringLiteral("\\s+([.,:;!?])"),
                             QRegularExpression::UseUnicodePropertiesOption);
        p.optimize();
        return p;
    }();
    return pattern;
}

const QRegularExpression& spaceAfterMaqafPattern() {
    static const QRegularExpression pattern = [] {
        QRegularExpression p(QString(maqaf) + QStringLiteral("\\s+"),
                             QRegularExpression::UseUnicodePropertiesOption);
        p.optimize();
        return p;
    }();
    return pattern;
}

bool isPunctuationMark(QChar c) {
    switch (c.unicode()) {
    case u'.':
    case u',':
    case u':':
    case u';':
    case u'!':
    case u'?':
        return true;
    default:
        return false;
    }
}

// The cheap tests below only let a text skip a replacement that could not change it, since most
// texts hold no badge, no stray blank and no maqaf. Each accepts every text the pattern can match.

bool mayEndInBadge(const QString& text) {
    if (text.isEmpty() || !text.contains(QLatin1Char(':')))
        return false;
    const char16_t last = text.back().unicode();
    return last == u'M' || last == u'm' || last == u'G' || last == u'g' || last == u'\n' || last == u'\r' ||
           last > 0x7F;
}

bool mayHaveBlankBeforePunctuation(const QString& text) {
    const auto blankBefore = [&text](qsizetype i) {
        // Every mark sorts at or below '?', above every letter's code.
        if (text[i].unicode() > u'?' || !isPunctuationMark(text[i]))
            return false;
        const QChar before = text[i - 1];
        // Every character the pattern's \s accepts is either ASCII white space or a non-ASCII
        // character that is neither a letter nor a number.
        return before.isSpace() || (before.unicode() > 0x7F && !before.isLetterOrNumber());
    };
    const qsizetype size = text.size();
    qsizetype i = 1;
#if defined(__SSE2__)
    // Marks are rare in prose: blocks of eight without one are passed over whole.
    const auto* data = reinterpret_cast<const char16_t*>(text.constData());
    for (; i + 8 <= size; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const auto is = [&units](char16_t mark) {
            return _mm_cmpeq_epi16(units, _mm_set1_epi16(short(mark)));
        };
        const __m128i marks =
            _mm_or_si128(_mm_or_si128(_mm_or_si128(is(u'.'), is(u',')), _mm_or_si128(is(u':'), is(u';'))),
                         _mm_or_si128(is(u'!'), is(u'?')));
        if (_mm_movemask_epi8(marks) == 0)
            continue;
        for (qsizetype j = i; j < i + 8; ++j) {
            if (blankBefore(j))
                return true;
        }
    }
#endif
    for (; i < size; ++i) {
        if (blankBefore(i))
            return true;
    }
    return false;
}

bool mayHaveBlankAfterMaqaf(const QString& text) {
    for (qsizetype at = text.indexOf(maqaf); at >= 0 && at + 1 < text.size();
         at = text.indexOf(maqaf, at + 1)) {
        const QChar after = text[at + 1];
        if (after.isSpace() || (after.unicode() > 0x7F && !after.isLetterOrNumber()))
            return true;
    }
    return false;
}

// Removes every "**", left to right without overlaps as a plain replacement would, from a
// normalised text. Searching for the single character "*" is far faster on long texts than a
// general substring search. Returns whether the text may no longer be normalised: only where
// marks were cut out can two blanks meet or a blank come to stand at an end.
bool removeBoldMarks(QString& text) {
    const auto nextMark = [&text](qsizetype from) {
        qsizetype at = text.indexOf(QLatin1Char('*'), from);
        while (at >= 0 && !(at + 1 < text.size() && text[at + 1] == QLatin1Char('*')))
            at = text.indexOf(QLatin1Char('*'), at + 1);
        return at;
    };
    qsizetype at = nextMark(0);
    if (at < 0)
        return false;
    QString out;
    out.reserve(text.size());
    std::vector<qsizetype> cuts;
    qsizetype copied = 0;
    while (at >= 0) {
        out.append(QStringView(text).sliced(copied, at - copied));
        cuts.push_back(out.size());
        copied = at + 2;
        at = nextMark(copied);
    }
    out.append(QStringView(text).sliced(copied));
    text = std::move(out);

    const auto blank = [&text](qsizetype i) { return text[i] == QLatin1Char(' '); };
    for (const qsizetype cut : cuts) {
        const bool before = cut > 0 && blank(cut - 1);
        const bool after = cut < text.size() && blank(cut);
        if ((before && after) || (cut == 0 && after) || (cut == text.size() && before))
            return true;
    }
    return false;
}

// Whether the text has a character outside ASCII, and so may need canonical composition.
bool hasNonAscii(QStringView text) {
    char16_t bits = 0;
    for (const QChar c : text)
        bits |= c.unicode();
    return bits >= 0x80;
}

// The index's and the anchors' form of a keyed text.
QString keyed(const QString& role, const QString& key) {
    QString text;
    text.reserve(role.size() + 1 + key.size());
    text.append(role).append(QLatin1Char('|')).append(key);
    return hasNonAscii(text) ? text::canonical(text) : text;
}

struct Anchor {
    qsizetype visible = 0;
    int archive = 0;
    QString role;
    qsizetype length = 0;
};

const QString userRole = QStringLiteral("user");
const QString assistantRole = QStringLiteral("assistant");

} // namespace

QString matchKey(QStringView text) {
    QString key = ConversationText::normalize(text);
    // The later steps only ever delete blanks whole or cut a tail off at a blank, so a text that
    // is normalised after the bold marks go stays normalised to the end.
    const bool mayNeedFolding = removeBoldMarks(key);
    if (mayEndInBadge(key))
        key.replace(badgePattern(), QString());
    if (mayHaveBlankBeforePunctuation(key))
        key.replace(spaceBeforePunctuationPattern(), QStringLiteral("\\1"));
    if (mayHaveBlankAfterMaqaf(key))
        key.replace(spaceAfterMaqafPattern(), QString(maqaf));
    return mayNeedFolding ? ConversationText::normalize(key) : key;
}

QString keyedText(QStringView role, QStringView text) {
    return keyed(role.toString(), matchKey(text));
}

std::optional<QString> visibleRequest(QStringView text) {
    static const QString marker = QStringLiteral("## My request:");
    const qsizetype at = text.lastIndexOf(marker);
    if (at < 0)
        return std::nullopt;
    const QStringView before = text.left(at);
    static const QString contextMarkers[] = {
        QStringLiteral("<in-app-browser-context"),
        QStringLiteral("# Files"),
        QStringLiteral("# Response annotations:"),
        QStringLiteral("<send_user_message_question_reply>"),
    };
    bool wrapped = false;
    for (const QString& contextMarker : contextMarkers)
        wrapped = wrapped || before.contains(contextMarker);
    if (!wrapped)
        return std::nullopt;
    QString request = text::trimmed(text.mid(at + marker.size()));
    if (request.isEmpty())
        return std::nullopt;
    return request;
}

PositionIndex positions(const std::vector<Item>& items) {
    PositionIndex index;
    for (qsizetype i = 0; i < qsizetype(items.size()); ++i) {
        const ConversationText::Message& message = items[i].message;
        QString keys[2] = {matchKey(message.text), QString()};
        if (message.role == userRole) {
            if (std::optional<QString> request = visibleRequest(message.text))
                keys[1] = matchKey(*request);
        }
        QString keyedTexts[2];
        for (int k = 0; k < 2; ++k) {
            if (keys[k].isEmpty())
                continue;
            keyedTexts[k] = keyed(message.role, keys[k]);
            if (k == 1 && keyedTexts[1] == keyedTexts[0])
                continue; // a request that is the whole text counts once
            index[keyedTexts[k]].append(int(i));
        }
    }
    return index;
}

qint64 uniqueExactCount(const MessageList& visible, const PositionIndex& index) {
    qint64 count = 0;
    for (const ConversationText::Message& message : visible) {
        const auto found = index.constFind(keyedText(message.role, message.text));
        if (found != index.constEnd() && found->size() == 1)
            ++count;
    }
    return count;
}

qint64 matchingAnchors(const MessageList& visible, const PositionIndex& index) {
    std::vector<Anchor> anchors;
    for (qsizetype v = 0; v < qsizetype(visible.size()); ++v) {
        const ConversationText::Message& message = visible[v];
        const QString key = matchKey(message.text);
        const auto found = index.constFind(keyed(message.role, key));
        if (found == index.constEnd() || found->size() != 1)
            continue;
        anchors.push_back({v, found->front(), message.role, text::characterCount(key)});
    }

    for (size_t i = 1; i < anchors.size(); ++i) {
        if (!(anchors[i - 1].archive < anchors[i].archive))
            return 0;
    }

    qint64 longUsers = 0;
    qint64 users = 0;
    qint64 longAssistants = 0;
    for (const Anchor& anchor : anchors) {
        if (anchor.role == userRole) {
            ++users;
            if (anchor.length > 11)
                ++longUsers;
        } else if (anchor.role == assistantRole && anchor.length > 79) {
            ++longAssistants;
        }
    }

    const bool accepted = (longAssistants >= 3 && users >= 1) || (longAssistants >= 2 && longUsers >= 1) ||
                          longUsers >= 4 || (longUsers >= 3 && longAssistants >= 1);
    return accepted ? qint64(anchors.size()) : 0;
}

} // namespace quillmere::CodexLocalConversationArchive
