#include "core/ConversationText.h"

#include "core/Text.h"

#include <QChar>
#include <algorithm>
#include <set>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmere::ConversationText {

namespace {

struct Heading {
    QLatin1StringView text; // normalised and lowercased
    QLatin1StringView role;
};

// The speaker headings the hosts render above or in front of each message.
constexpr Heading speakerHeadings[] = {
    {QLatin1StringView("you said:"), QLatin1StringView("user")},
    {QLatin1StringView("chatgpt said:"), QLatin1StringView("assistant")},
    {QLatin1StringView("claude said:"), QLatin1StringView("assistant")},
    {QLatin1StringView("claude responded:"), QLatin1StringView("assistant")},
    {QLatin1StringView("codex said:"), QLatin1StringView("assistant")},
    {QLatin1StringView("assistant said:"), QLatin1StringView("assistant")},
    {QLatin1StringView("assistant responded:"), QLatin1StringView("assistant")},
};

// The role as a string over static storage, so that reading a heading allocates nothing.
QString roleText(QLatin1StringView role) {
    return role == QLatin1StringView("user") ? QStringLiteral("user") : QStringLiteral("assistant");
}

bool isSpace(QChar c) {
    const char16_t u = c.unicode();
    if (u < 0x80)
        return u == u' ' || (u >= u'\t' && u <= u'\r');
    return text::isWhiteSpace(u);
}

char16_t asciiLower(char16_t u) {
    return u >= u'A' && u <= u'Z' ? char16_t(u + 32) : u;
}

// Compares a label with a lower-case ASCII phrase as normalising and lowercasing would, without
// building either: a white-space run matches one blank, ASCII letters ignore case. These tests run
// on every element of a window on every tick, so the common case must not allocate. None when the
// label holds another non-ASCII character; the caller then takes the full Unicode path.
std::optional<bool> asciiPhraseEquals(QStringView label, QLatin1StringView phrase) {
    qsizetype i = 0, j = 0;
    const qsizetype n = label.size();
    while (i < n && isSpace(label[i]))
        ++i;
    while (i < n) {
        if (isSpace(label[i])) {
            while (i < n && isSpace(label[i]))
                ++i;
            if (i == n)
                break;
            if (j >= phrase.size() || phrase[j] != ' ')
                return false;
            ++j;
            continue;
        }
        const char16_t u = label[i].unicode();
        if (u >= 0x80)
            return std::nullopt;
        // An ASCII character that differs decides: lowercasing keeps it ASCII and composition
        // could only turn it into a non-ASCII character, so the full path would differ too.
        if (j >= phrase.size() || char16_t(phrase[j].unicode()) != asciiLower(u))
            return false;
        ++j;
        ++i;
    }
    return j == phrase.size();
}

// A label of ASCII characters only, its white-space runs collapsed to one blank, trimmed and
// lowercased: exactly what normalising and lowercasing would make of it. `tooLong` when that is
// longer than the buffer (the label then matches no phrase of the buffer's length or less),
// `nonAscii` when any character of the label is not ASCII (the caller then takes the general
// path).
enum class AsciiFold { fits, tooLong, nonAscii };

template <qsizetype Capacity> struct AsciiFolded {
    char text[Capacity];
    qsizetype size = 0;

    bool is(QLatin1StringView phrase) const {
        return phrase.size() == size && std::equal(text, text + size, phrase.data());
    }
};

template <qsizetype Capacity> AsciiFold asciiFold(QStringView label, AsciiFolded<Capacity>& out) {
    // Any character outside ASCII sends the label down the general path, so only ASCII white
    // space separates words here.
    const auto isAsciiSpace = [](char16_t u) { return u == u' ' || (u >= u'\t' && u <= u'\r'); };
    const char16_t* c = label.utf16();
    const qsizetype n = label.size();
    qsizetype i = 0, size = 0;
    while (true) {
        while (i < n && isAsciiSpace(c[i]))
            ++i;
        if (i == n)
            break;
        if (size > 0) {
            if (size == Capacity)
                break;
            out.text[size++] = ' ';
        }
        for (; i < n && !isAsciiSpace(c[i]); ++i) {
            if (c[i] >= 0x80)
                return AsciiFold::nonAscii;
            if (size == Capacity)
                break;
            out.text[size++] = char(asciiLower(c[i]));
        }
        if (size == Capacity && i < n && !isAsciiSpace(c[i]))
            break;
    }
    out.size = size;
    if (i == n)
        return AsciiFold::fits;
    // Longer than the buffer: still the general path if anything further is not ASCII.
    for (; i < n; ++i)
        if (c[i] >= 0x80)
            return AsciiFold::nonAscii;
    return AsciiFold::tooLong;
}

// Lowercased, canonical form used to compare a label with a fixed vocabulary.
QString folded(QStringView text) {
    return text::canonical(text::lowercased(text));
}

// The white-space separated tokens of a text, as views into it.
std::vector<QStringView> tokens(QStringView text, std::size_t atMost, qsizetype* restStart) {
    std::vector<QStringView> out;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (out.size() < atMost) {
        while (i < n && isSpace(text[i]))
            ++i;
        if (i == n)
            break;
        qsizetype start = i;
        while (i < n && !isSpace(text[i]))
            ++i;
        out.push_back(text.mid(start, i - start));
    }
    if (restStart)
        *restStart = i;
    return out;
}

// Whether the tokens spell the heading, word by word, ignoring case.
bool tokensSpell(const std::vector<QStringView>& words, QLatin1StringView heading) {
    qsizetype from = 0;
    for (QStringView word : words) {
        qsizetype space = heading.indexOf(QLatin1Char(' '), from);
        QLatin1StringView part = heading.mid(from, space < 0 ? heading.size() - from : space - from);
        if (folded(word) != part)
            return false;
        if (space < 0)
            return true;
        from = space + 1;
    }
    return false;
}

bool isAllAsciiDigits(QStringView s) {
    return !s.isEmpty() && std::all_of(s.begin(), s.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// Whether the last visible characters, in ASCII lower case, are one of two endings of the same
// length; cheap enough to run on every label of a large tree before the full metadata test.
bool endsWithLetters(QStringView s, QLatin1StringView ending, QLatin1StringView otherEnding) {
    qsizetype end = s.size();
    while (end > 0 && isSpace(s[end - 1]))
        --end;
    const qsizetype length = ending.size();
    if (end < length)
        return false;
    const auto endsWith = [&](QLatin1StringView e) {
        for (qsizetype i = 0; i < length; ++i) {
            QChar c = s[end - length + i];
            if (c.unicode() >= 0x80 || asciiLower(c.unicode()) != char16_t(e[i].unicode()))
                return false;
        }
        return true;
    };
    return endsWith(ending) || endsWith(otherEnding);
}

// Whether an ASCII word spells a lower-case ASCII word in any case. For ASCII, case-insensitive
// comparison is exactly this, without the library's general case folding.
bool asciiWordIs(QStringView word, QLatin1StringView expected) {
    if (word.size() != expected.size())
        return false;
    for (qsizetype i = 0; i < word.size(); ++i)
        if (asciiLower(word[i].unicode()) != char16_t(expected[i].unicode()))
            return false;
    return true;
}

bool wordIs(QStringView word, const char* expected, Qt::CaseSensitivity cs) {
    return cs == Qt::CaseInsensitive ? asciiWordIs(word, QLatin1StringView(expected))
                                     : word.compare(QLatin1StringView(expected), cs) == 0;
}

constexpr QLatin1StringView timeUnitWords[] = {
    QLatin1StringView("second"),  QLatin1StringView("seconds"), QLatin1StringView("minute"),
    QLatin1StringView("minutes"), QLatin1StringView("hour"),    QLatin1StringView("hours"),
    QLatin1StringView("day"),     QLatin1StringView("days"),    QLatin1StringView("week"),
    QLatin1StringView("weeks"),   QLatin1StringView("month"),   QLatin1StringView("months"),
    QLatin1StringView("year"),    QLatin1StringView("years")};

// "just now", "copied just now" or "<digits> <unit> ago", given the label's `count` words. Words
// holding only ASCII may still be in any case (cs insensitive); others have been lowercased
// already (cs sensitive, so that no case folding beyond full lowercasing applies).
bool metadataWords(const QStringView* parts, std::size_t count, Qt::CaseSensitivity cs) {
    if (count == 2)
        return wordIs(parts[0], "just", cs) && wordIs(parts[1], "now", cs);
    if (count != 3)
        return false;
    if (wordIs(parts[0], "copied", cs))
        return wordIs(parts[1], "just", cs) && wordIs(parts[2], "now", cs);
    if (!isAllAsciiDigits(parts[0]) || !wordIs(parts[2], "ago", cs))
        return false;
    return std::any_of(std::begin(timeUnitWords), std::end(timeUnitWords), [&](QLatin1StringView unit) {
        return cs == Qt::CaseInsensitive ? asciiWordIs(parts[1], unit) : parts[1].compare(unit, cs) == 0;
    });
}

// Words for the follow-up test: runs of letters and numbers (with their combining marks, which
// Hebrew points and accents are), split at everything else.
std::vector<QString> letterWords(QStringView text) {
    std::vector<QString> out;
    QString current;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n;) {
        char32_t scalar = text[i].unicode();
        qsizetype width = 1;
        if (QChar::isHighSurrogate(scalar) && i + 1 < n && text[i + 1].isLowSurrogate()) {
            scalar = QChar::surrogateToUcs4(text[i], text[i + 1]);
            width = 2;
        }
        QChar::Category category = QChar::category(scalar);
        bool inWord = QChar::isLetterOrNumber(scalar) || category == QChar::Mark_NonSpacing ||
                      category == QChar::Mark_SpacingCombining || category == QChar::Mark_Enclosing;
        if (inWord) {
            current.append(text.mid(i, width));
        } else if (!current.isEmpty()) {
            out.push_back(std::move(current));
            current.clear();
        }
        i += width;
    }
    if (!current.isEmpty())
        out.push_back(std::move(current));
    return out;
}

const std::set<QString>& backReferenceWords() {
    static const std::set<QString> words = {
        "it",    "this",     "that",    "these", "those", "they", "them",  "their", "back",
        "above", "previous", "earlier", "again", "same",  "זה",   "זאת",   "אותו",  "אותה",
        "אותם",  "אותן",     "הם",      "הן",    "בחזרה", "שוב",  "למעלה", "הקודם", "הקודמת",
    };
    return words;
}

const std::set<QString>& taskVerbs() {
    static const std::set<QString> words = {
        "build",     "create",  "write",  "draft", "design", "implement", "develop",   "plan",
        "analyze",   "analyse", "review", "debug", "fix",    "generate",  "summarize", "summarise",
        "translate", "בנה",     "תבנה",   "לבנות", "צור",    "כתוב",      "נסח",       "תכנן",
        "עצב",       "נתח",     "בדוק",   "תקן",   "סכם",    "תרגם",
    };
    return words;
}

// A follow-up longer than this is a request of its own, whatever words it uses.
constexpr std::size_t shortTextWordLimit = 16;

// A user text at least this many characters long states a task on its own.
constexpr qsizetype substantiveRequestLength = 8;

} // namespace

bool Message::operator==(const Message& other) const {
    return role == other.role && (text == other.text || text::canonicallyEqual(text, other.text));
}

json::Value toJson(const Message& message) {
    return json::Object{{"role", message.role}, {"text", message.text}};
}

std::optional<Message> messageFromJson(const QJsonObject& object) {
    auto role = json::string(object, "role");
    auto text = json::string(object, "text");
    if (!role.isPresent() || !text.isPresent())
        return std::nullopt;
    return Message{role.value, text.value};
}

namespace {

#if defined(__SSE2__)
// The units of the eight at `read` that prose does not keep as it is, as a byte mask (two bits a
// unit): those outside printable ASCII, and blanks following a blank (the unit before `read`
// included, so there must be one).
int unplainUnits(const char16_t* read) {
    const __m128i blank = _mm_set1_epi16(0x20);
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(read));
    const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(read - 1));
    // Signed comparisons: units from 0x8000 up count as below the blank.
    const __m128i outside =
        _mm_or_si128(_mm_cmplt_epi16(units, blank), _mm_cmpgt_epi16(units, _mm_set1_epi16(0x7E)));
    const __m128i doubled = _mm_and_si128(_mm_cmpeq_epi16(units, blank), _mm_cmpeq_epi16(before, blank));
    return _mm_movemask_epi8(_mm_or_si128(outside, doubled));
}
#endif

} // namespace

bool isNormalAscii(QStringView text) {
    const char16_t* read = text.utf16();
    const char16_t* const end = read + text.size();
    if (read == end)
        return true;
    if (*read <= u' ' || *read > 0x7E || end[-1] == u' ')
        return false;
#if defined(__SSE2__)
    // Eight units at a time from the second on: the first has no unit before it to load.
    for (++read; end - read >= 8; read += 8)
        if (unplainUnits(read) != 0)
            return false;
    --read;
#endif
    for (char16_t previous = 0; read != end; previous = *read++)
        if (*read < u' ' || *read > 0x7E || (*read == u' ' && previous == u' '))
            return false;
    return true;
}

QString normalize(QStringView text) {
    // One pass into a buffer of the input's size: this runs over every message of the open
    // conversation on every scan, and over every archived message when a history is read. Every
    // White_Space character lies in the Basic Multilingual Plane, so surrogate pairs pass through
    // untouched.
    QString out(text.size(), Qt::Uninitialized);
    char16_t* write = reinterpret_cast<char16_t*>(out.data());
    char16_t* const start = write;
    const char16_t* read = text.utf16();
    const char16_t* const end = read + text.size();
    while (read != end) {
#if defined(__SSE2__)
        // Prose is mostly printable ASCII with single blanks between words, which stays as it
        // is: such blocks of eight are copied whole. A block may not start the output (a leading
        // blank goes) nor end in a blank (the blank may end the text or start a longer run), and
        // no blank in it may follow another.
        if (write != start) {
            while (end - read >= 8) {
                if (unplainUnits(read) != 0 || read[7] == u' ')
                    break;
                _mm_storeu_si128(reinterpret_cast<__m128i*>(write),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(read)));
                write += 8;
                read += 8;
            }
            if (read == end)
                break;
        }
#endif
        // Printable ASCII other than the blank is by far the most common and never white space.
        const char16_t u = *read;
        if (u > u' ' && u < 0x7F) {
            *write++ = u;
            ++read;
            continue;
        }
        if (!isSpace(QChar(u))) {
            *write++ = u;
            ++read;
            continue;
        }
        // A run of white space becomes one blank between words and nothing at either end.
        while (read != end && isSpace(QChar(*read)))
            ++read;
        if (write != start && read != end)
            *write++ = u' ';
    }
    out.truncate(write - start);
    return out;
}

std::optional<QString> headingRole(const QStringList& labels) {
    for (const QString& label : labels) {
        // The usual label is short plain ASCII: fold it once instead of once per heading.
        AsciiFolded<24> plain;
        switch (asciiFold(label, plain)) {
        case AsciiFold::fits:
            for (const Heading& heading : speakerHeadings)
                if (plain.is(heading.text))
                    return roleText(heading.role);
            continue;
        case AsciiFold::tooLong:
            continue;
        case AsciiFold::nonAscii:
            break;
        }
        bool ascii = true;
        for (const Heading& heading : speakerHeadings) {
            auto equal = asciiPhraseEquals(label, heading.text);
            if (!equal) {
                ascii = false;
                break;
            }
            if (*equal)
                return roleText(heading.role);
        }
        if (ascii)
            continue;
        QString x = folded(normalize(label));
        for (const Heading& heading : speakerHeadings)
            if (x == heading.text)
                return roleText(heading.role);
    }
    return std::nullopt;
}

std::optional<Message> message(const QStringList& labels) {
    for (const QString& label : labels) {
        for (const Heading& heading : speakerHeadings) {
            const std::size_t wordCount = std::size_t(heading.text.count(QLatin1Char(' ')) + 1);
            qsizetype restStart = 0;
            std::vector<QStringView> words = tokens(label, wordCount, &restStart);
            if (words.size() != wordCount || !tokensSpell(words, heading.text))
                continue;
            // The heading must be followed by white space and then some text.
            QString rest = text::trimmed(QStringView(label).mid(restStart));
            if (restStart < label.size() && !rest.isEmpty())
                return Message{QString(heading.role), rest};
        }
    }
    return std::nullopt;
}

bool isSentUserCopyAction(QStringView label) {
    // Most controls are named otherwise: an ASCII first character other than "c" settles it
    // before any comparison (lowercasing keeps it ASCII; composition could only make it non-ASCII).
    qsizetype first = 0;
    while (first < label.size() && isSpace(label[first]))
        ++first;
    if (first == label.size())
        return false;
    if (const char16_t u = label[first].unicode(); u < 0x80 && asciiLower(u) != u'c')
        return false;
    AsciiFolded<12> plain;
    switch (asciiFold(label.sliced(first), plain)) {
    case AsciiFold::fits:
        return plain.is(QLatin1StringView("copy")) || plain.is(QLatin1StringView("copy message"));
    case AsciiFold::tooLong:
        return false;
    case AsciiFold::nonAscii:
        break;
    }
    auto copy = asciiPhraseEquals(label, QLatin1StringView("copy"));
    if (copy && *copy)
        return true;
    auto copyMessage = asciiPhraseEquals(label, QLatin1StringView("copy message"));
    if (copy && copyMessage)
        return *copyMessage;
    QString x = folded(normalize(label));
    return x == QLatin1StringView("copy") || x == QLatin1StringView("copy message");
}

bool isRenderedUserMessageMarker(const QStringList& labels) {
    for (const QString& label : labels) {
        QString x = text::lowercased(label);
        if (x == QLatin1StringView("user message") || x.contains(QLatin1StringView("user-message-bubble")) ||
            x.contains(QLatin1StringView("user-message")) ||
            x.contains(QLatin1StringView("bg-user-message")) ||
            x.contains(QLatin1StringView("text-user-message")))
            return true;
    }
    return false;
}

namespace {

// The words of a label that ends like metadata: "just now", "copied just now" or
// "<digits> <unit> ago".
Q_NEVER_INLINE bool isMessageMetadataWords(QStringView label) {
    // Most labels are plain ASCII: their words can be compared in place. Only the first three
    // are kept; more than three words are never metadata.
    QStringView parts[3];
    std::size_t count = 0;
    bool ascii = true;
    for (qsizetype i = 0, n = label.size(); ascii && i < n;) {
        while (i < n && isSpace(label[i]))
            ++i;
        const qsizetype start = i;
        // Stop at the first character outside ASCII: the general path takes the whole label.
        for (; i < n && !isSpace(label[i]); ++i)
            if (label[i].unicode() >= 0x80) {
                ascii = false;
                break;
            }
        if (ascii && i > start) {
            if (count < 3)
                parts[count] = label.mid(start, i - start);
            ++count;
        }
    }
    if (!ascii) {
        QString x = folded(normalize(label));
        std::vector<QStringView> words;
        for (QStringView part : QStringView(x).split(QLatin1Char(' ')))
            words.push_back(part);
        return metadataWords(words.data(), words.size(), Qt::CaseSensitive);
    }
    return metadataWords(parts, count, Qt::CaseInsensitive);
}

} // namespace

bool isMessageMetadata(QStringView label) {
    // Nearly every label fails this test; the rest is kept out of line so that they pay for
    // nothing more.
    return endsWithLetters(label, QLatin1StringView("ago"), QLatin1StringView("now")) &&
           isMessageMetadataWords(label);
}

bool hasSentContext(const Message* first, const Message* last) {
    return std::any_of(first, last, [](const Message& m) {
        return m.role == QLatin1StringView("user") && !text::isBlank(m.text);
    });
}

std::vector<Message> recentUserRequests(const std::vector<Message>& messages, int limit) {
    std::vector<Message> users;
    if (limit <= 0)
        return users;
    for (const Message& m : messages)
        if (m.role == QLatin1StringView("user") && !normalize(m.text).isEmpty())
            users.push_back(m);
    if (users.size() > std::size_t(limit))
        users.erase(users.begin(), users.end() - limit);
    return users;
}

std::vector<Message> recentContext(const std::vector<Message>& messages, int limit) {
    if (limit <= 0)
        return {};
    const auto isUser = [](const Message& m) { return m.role == QLatin1StringView("user"); };
    const auto lastUser = std::find_if(messages.rbegin(), messages.rend(), isUser);
    if (lastUser == messages.rend()) {
        std::size_t keep = std::min(messages.size(), std::size_t(limit));
        return std::vector<Message>(messages.end() - keep, messages.end());
    }

    const std::size_t latest = std::size_t(messages.rend() - lastUser - 1);
    std::set<std::size_t> required = {latest};
    // A short follow-up ("ok", "again") means little without the request it follows.
    if (limit >= 3 && text::characterCount(text::trimmed(messages[latest].text)) < substantiveRequestLength) {
        for (std::size_t i = latest; i-- > 0;) {
            if (isUser(messages[i]) &&
                text::characterCount(normalize(messages[i].text)) >= substantiveRequestLength) {
                required.insert(i);
                break;
            }
        }
    }

    std::set<std::size_t> chosen = required;
    std::size_t budget = std::size_t(limit) - required.size();
    for (std::size_t i = messages.size(); i-- > 0 && budget > 0;) {
        if (required.count(i))
            continue;
        chosen.insert(i);
        --budget;
    }
    std::vector<Message> out;
    out.reserve(chosen.size());
    for (std::size_t i : chosen)
        out.push_back(messages[i]);
    return out;
}

bool dependsOnPriorContext(QStringView text) {
    std::vector<QString> words = letterWords(folded(normalize(text)));
    if (words.empty() || words.size() > shortTextWordLimit)
        return false;
    bool refersBack = false;
    for (const QString& word : words) {
        if (taskVerbs().count(word))
            return false;
        refersBack = refersBack || backReferenceWords().count(word) > 0;
    }
    return refersBack;
}

} // namespace quillmere::ConversationText
