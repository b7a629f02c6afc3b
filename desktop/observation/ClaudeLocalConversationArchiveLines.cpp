#include "desktop/observation/ClaudeLocalConversationArchiveLines.h"

#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <array>
#include <charconv>
#include <cstring>

#include "core/Json.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmere::ClaudeLocalConversationArchive {

namespace {

const QString kUser = QStringLiteral("user");
const QString kAssistant = QStringLiteral("assistant");
const QString kUserJoin = QStringLiteral("\n");
// Consecutive text blocks of a reply read as paragraphs.
const QString kAssistantJoin = QStringLiteral("\n\n");

// ---------------------------------------------------------------------------------------------
// The parser

// The text of a message's content: a plain string, or the "text" of every text block.
QString contentText(const QJsonValue& content, const QString& separator) {
    if (content.isString())
        return content.toString();
    if (!content.isArray())
        return {};
    QString out;
    bool first = true;
    for (const QJsonValue& block : content.toArray()) {
        const QJsonObject object = block.toObject();
        if (json::string(object, QStringLiteral("type")).value != QLatin1StringView("text"))
            continue;
        const json::Field<QString> text = json::string(object, QStringLiteral("text"));
        if (!text.isPresent() || text.value.isEmpty())
            continue;
        if (!first)
            out += separator;
        out += text.value;
        first = false;
    }
    return out;
}

struct Parsed {
    LineOutline outline;
    QJsonObject object;
};

Parsed parseLine(QByteArrayView line) {
    Parsed out;
    out.outline.parsed = true;
    QJsonParseError error{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromRawData(line.data(), line.size()), &error);
    if (error.error != QJsonParseError::NoError) {
        out.outline.verdict =
            error.error == QJsonParseError::IllegalUTF8String ? LineVerdict::invalidUtf8 : LineVerdict::bad;
        return out;
    }
    if (!document.isObject())
        return out;
    out.object = document.object();

    // Summaries, snapshots and other bookkeeping lines carry no event id and are not events.
    const json::Field<QString> uuid = json::string(out.object, QStringLiteral("uuid"));
    if (!uuid.isPresent() || uuid.value.isEmpty()) {
        out.outline.verdict = LineVerdict::notEvent;
        return out;
    }
    const json::Field<QString> parent = json::string(out.object, QStringLiteral("parentUuid"));
    if (parent.isWrongType())
        return out;
    out.outline.verdict = LineVerdict::event;
    out.outline.uuid = uuid.value.toUtf8();
    out.outline.parentUuid = parent.value.toUtf8();
    const QString type = json::string(out.object, QStringLiteral("type")).value;
    if (type == kUser) {
        const QJsonObject origin = json::object(out.object, QStringLiteral("origin")).value;
        out.outline.type = json::string(origin, QStringLiteral("kind")).value == QLatin1StringView("human")
                               ? EventType::human
                               : EventType::user;
    } else if (type == kAssistant) {
        out.outline.type = EventType::assistant;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// The light reading: a validating pass that builds nothing. It says "sure" only for what the
// parser certainly reads the same way; for everything else (escaped keys, surrogate or byte-order
// mark escapes, control characters in strings, exponents and long numbers, deep nesting, a byte
// order mark, anything malformed) it gives up and the parser decides.

enum Field : int { fUuid, fParentUuid, fType, fOrigin, fMessage, fTimestamp, fieldCount };

struct Span {
    const char* begin = nullptr;
    const char* end = nullptr;
    bool present() const { return begin != nullptr; }
    QByteArrayView view() const { return QByteArrayView(begin, end - begin); }
};

// The top-level values the outline and the content look at; the last of a repeated key wins, as
// with the parser.
struct Scan {
    std::array<Span, fieldCount> fields;
};

int topField(QByteArrayView key) {
    static const QByteArrayView names[fieldCount] = {"uuid",   "parentUuid", "type",
                                                     "origin", "message",    "timestamp"};
    for (int i = 0; i < fieldCount; ++i)
        if (key == names[i])
            return i;
    return -1;
}

constexpr int kMaxLightDepth = 64;
constexpr qsizetype kMaxLightNumber = 15;

class Validator {
public:
    Validator(QByteArrayView line)
        : p_(reinterpret_cast<const uchar*>(line.data())), end_(p_ + line.size()),
          base_(reinterpret_cast<const uchar*>(line.data())), text_(line.data()) {}

    std::optional<Scan> line() {
        if (!space() || *p_ != '{')
            return std::nullopt;
        Scan scan;
        if (!object(1, &scan))
            return std::nullopt;
        if (space())
            return std::nullopt;
        return scan;
    }

private:
    // Skips JSON white space; whether anything follows.
    bool space() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r'))
            ++p_;
        return p_ < end_;
    }

    const char* at(const uchar* p) const { return text_ + (p - base_); }

    // Moves to the next byte a string cannot simply pass over: a quote, a backslash, a control
    // character or the start of a multi-byte sequence.
    void plainRun() {
#if defined(__SSE2__)
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i control = _mm_set1_epi8(0x20);
        while (end_ - p_ >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
            // A signed compare below 0x20 catches both control characters and bytes from 0x80.
            const __m128i special =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                             _mm_cmplt_epi8(v, control));
            const int mask = _mm_movemask_epi8(special);
            if (mask != 0) {
                p_ += __builtin_ctz(unsigned(mask));
                return;
            }
            p_ += 16;
        }
#endif
        while (p_ < end_ && *p_ >= 0x20 && *p_ < 0x80 && *p_ != '"' && *p_ != '\\')
            ++p_;
    }

    static bool continuation(uchar c) {
        return (c & 0xc0) == 0x80;
    }

    // One well-formed UTF-8 sequence of two to four bytes (no surrogates, nothing overlong, nothing
    // above U+10FFFF), except the byte order mark, which the parser drops from strings.
    bool utf8() {
        const uchar c = *p_;
        // The sequence's length and the range of its second byte follow from the lead byte.
        int length = 0;
        uchar low = 0x80;
        uchar high = 0xbf;
        if (c >= 0xc2 && c < 0xe0) {
            length = 2;
        } else if (c >= 0xe0 && c < 0xf0) {
            length = 3;
            low = c == 0xe0 ? 0xa0 : low;
            high = c == 0xed ? 0x9f : high;
        } else if (c >= 0xf0 && c < 0xf5) {
            length = 4;
            low = c == 0xf0 ? 0x90 : low;
            high = c == 0xf4 ? 0x8f : high;
        } else {
            return false;
        }
        if (end_ - p_ < length || p_[1] < low || p_[1] > high)
            return false;
        for (int i = 2; i < length; ++i)
            if (!continuation(p_[i]))
                return false;
        if (c == 0xef && p_[1] == 0xbb && p_[2] == 0xbf)
            return false;
        p_ += length;
        return true;
    }

    bool escape() {
        if (end_ - p_ < 2)
            return false;
        switch (p_[1]) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
            p_ += 2;
            return true;
        case 'u': {
            if (end_ - p_ < 6)
                return false;
            unsigned value = 0;
            const char* digits = at(p_ + 2);
            const std::from_chars_result read = std::from_chars(digits, digits + 4, value, 16);
            if (read.ec != std::errc() || read.ptr != digits + 4)
                return false;
            if ((value >= 0xd800 && value <= 0xdfff) || value == 0xfeff)
                return false;
            p_ += 6;
            return true;
        }
        default:
            return false;
        }
    }

    bool string(bool key) {
        ++p_;
        for (;;) {
            plainRun();
            if (p_ >= end_)
                return false;
            const uchar c = *p_;
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c == '\\') {
                if (key || !escape())
                    return false;
            } else if (c < 0x20 || !utf8()) {
                return false;
            }
        }
    }

    bool number() {
        const uchar* start = p_;
        if (*p_ == '-')
            ++p_;
        if (p_ >= end_)
            return false;
        if (*p_ == '0') {
            ++p_;
        } else if (*p_ >= '1' && *p_ <= '9') {
            while (p_ < end_ && *p_ >= '0' && *p_ <= '9')
                ++p_;
        } else {
            return false;
        }
        if (p_ < end_ && *p_ == '.') {
            ++p_;
            const uchar* digits = p_;
            while (p_ < end_ && *p_ >= '0' && *p_ <= '9')
                ++p_;
            if (p_ == digits)
                return false;
        }
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E'))
            return false;
        return p_ - start <= kMaxLightNumber;
    }

    bool literal(QByteArrayView word) {
        if (end_ - p_ < word.size() || std::memcmp(p_, word.data(), size_t(word.size())) != 0)
            return false;
        p_ += word.size();
        return true;
    }

    bool value(int depth) {
        switch (*p_) {
        case '"':
            return string(false);
        case '{':
            return object(depth + 1, nullptr);
        case '[':
            return array(depth + 1);
        case 't':
            return literal("true");
        case 'f':
            return literal("false");
        case 'n':
            return literal("null");
        default:
            return number();
        }
    }

    // The members of an object or the elements of an array: items separated by commas, up to
    // `close`.
    template <typename Item> bool items(uchar close, Item&& item) {
        ++p_;
        if (!space())
            return false;
        if (*p_ == close) {
            ++p_;
            return true;
        }
        for (;;) {
            if (!item() || !space())
                return false;
            if (*p_ == close) {
                ++p_;
                return true;
            }
            if (*p_ != ',')
                return false;
            ++p_;
            if (!space())
                return false;
        }
    }

    bool member(int depth, Scan* top) {
        if (*p_ != '"')
            return false;
        const uchar* keyBegin = p_ + 1;
        if (!string(true))
            return false;
        const uchar* keyEnd = p_ - 1;
        if (!space() || *p_ != ':')
            return false;
        ++p_;
        if (!space())
            return false;
        const uchar* valueBegin = p_;
        if (!value(depth))
            return false;
        if (top) {
            const int field = topField(QByteArrayView(at(keyBegin), keyEnd - keyBegin));
            if (field >= 0) {
                // The outline's own fields must be unambiguous.
                if (field <= fType && top->fields[size_t(field)].present())
                    return false;
                top->fields[size_t(field)] = Span{at(valueBegin), at(p_)};
            }
        }
        return true;
    }

    bool object(int depth, Scan* top) {
        return depth <= kMaxLightDepth && items('}', [&] { return member(depth, top); });
    }

    bool array(int depth) {
        return depth <= kMaxLightDepth && items(']', [&] { return value(depth); });
    }

    const uchar* p_;
    const uchar* end_;
    const uchar* base_;
    const char* text_;
};

// ---------------------------------------------------------------------------------------------
// Reading values of a line the light reading has vouched for: well-formed, no escaped keys, no
// escapes the parser would read differently. The walk still stays within its span whatever the
// bytes are.

const char* skipString(const char* p, const char* end) {
    ++p;
    while (p < end) {
        if (*p == '\\')
            p += 2;
        else if (*p == '"')
            return p + 1;
        else
            ++p;
    }
    return end;
}

const char* skipSpace(const char* p, const char* end) {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
        ++p;
    return p;
}

const char* skipValue(const char* p, const char* end) {
    if (p >= end)
        return end;
    if (*p == '"')
        return skipString(p, end);
    if (*p == '{' || *p == '[') {
        int depth = 0;
        while (p < end) {
            const char c = *p;
            if (c == '"') {
                p = skipString(p, end);
                continue;
            }
            if (c == '{' || c == '[')
                ++depth;
            else if ((c == '}' || c == ']') && --depth == 0)
                return p + 1;
            ++p;
        }
        return end;
    }
    while (p < end && *p != ',' && *p != '}' && *p != ']' && *p != ' ' && *p != '\t' && *p != '\n' &&
           *p != '\r')
        ++p;
    return p;
}

// The value of the last member named `key` of an object span; none when it is no object or has no
// such member.
Span member(Span object, QByteArrayView key) {
    Span found;
    if (!object.present() || object.begin == object.end || *object.begin != '{')
        return found;
    const char* p = object.begin + 1;
    const char* end = object.end;
    for (;;) {
        p = skipSpace(p, end);
        if (p >= end || *p != '"')
            return found;
        const char* keyEnd = skipString(p, end);
        const QByteArrayView name(p + 1, std::max<qsizetype>(0, keyEnd - p - 2));
        p = skipSpace(keyEnd, end);
        if (p >= end || *p != ':')
            return found;
        p = skipSpace(p + 1, end);
        const char* valueEnd = skipValue(p, end);
        if (name == key)
            found = Span{p, valueEnd};
        p = skipSpace(valueEnd, end);
        if (p >= end || *p != ',')
            return found;
        ++p;
    }
}

template <typename Visit> void elements(Span array, Visit&& visit) {
    if (!array.present() || array.begin == array.end || *array.begin != '[')
        return;
    const char* p = skipSpace(array.begin + 1, array.end);
    const char* end = array.end;
    if (p < end && *p == ']')
        return;
    while (p < end) {
        const char* valueEnd = skipValue(p, end);
        visit(Span{p, valueEnd});
        p = skipSpace(valueEnd, end);
        if (p >= end || *p != ',')
            return;
        p = skipSpace(p + 1, end);
    }
}

bool isString(Span value) {
    return value.present() && value.end - value.begin >= 2 && *value.begin == '"';
}

// A string value as the parser decodes it (the light reading has refused every escape the parser
// reads in its own way).
QString decodeString(Span value) {
    if (!isString(value))
        return {};
    const uchar* p = reinterpret_cast<const uchar*>(value.begin) + 1;
    const uchar* end = reinterpret_cast<const uchar*>(value.end) - 1;
    QString out(end - p, Qt::Uninitialized);
    char16_t* d = reinterpret_cast<char16_t*>(out.data());
    char16_t* const start = d;
    while (p < end) {
        const uchar c = *p;
        if (c < 0x80 && c != '\\') {
            *d++ = c;
            ++p;
        } else if (c == '\\') {
            if (end - p < 2)
                break;
            const uchar e = p[1];
            p += 2;
            switch (e) {
            case 'b':
                *d++ = u'\b';
                break;
            case 'f':
                *d++ = u'\f';
                break;
            case 'n':
                *d++ = u'\n';
                break;
            case 'r':
                *d++ = u'\r';
                break;
            case 't':
                *d++ = u'\t';
                break;
            case 'u': {
                char16_t unit = 0;
                for (int i = 0; i < 4 && p < end; ++i, ++p) {
                    const uchar h = *p;
                    unit = char16_t(unit * 16 + (h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10));
                }
                *d++ = unit;
                break;
            }
            default:
                *d++ = e;
            }
        } else if (c < 0xe0) {
            if (end - p < 2)
                break;
            *d++ = char16_t(((c & 0x1f) << 6) | (p[1] & 0x3f));
            p += 2;
        } else if (c < 0xf0) {
            if (end - p < 3)
                break;
            *d++ = char16_t(((c & 0x0f) << 12) | ((p[1] & 0x3f) << 6) | (p[2] & 0x3f));
            p += 3;
        } else {
            if (end - p < 4)
                break;
            const char32_t code =
                ((c & 0x07) << 18) | ((p[1] & 0x3f) << 12) | ((p[2] & 0x3f) << 6) | (p[3] & 0x3f);
            *d++ = QChar::highSurrogate(code);
            *d++ = QChar::lowSurrogate(code);
            p += 4;
        }
    }
    out.truncate(d - start);
    // Text outside ASCII takes fewer UTF-16 units than bytes; give the room back when it matters.
    if (out.capacity() - out.size() > out.size() / 8)
        out.squeeze();
    return out;
}

// A string value as UTF-8: its bytes as they stand unless it holds escapes.
QByteArray utf8String(Span value) {
    const QByteArrayView inner(value.begin + 1, value.end - value.begin - 2);
    if (!inner.contains('\\'))
        return inner.toByteArray();
    return decodeString(value).toUtf8();
}

bool stringEquals(Span value, QLatin1StringView text) {
    if (!isString(value))
        return false;
    const QByteArrayView inner(value.begin + 1, value.end - value.begin - 2);
    if (!inner.contains('\\'))
        return inner == QByteArrayView(text.data(), text.size());
    return decodeString(value) == text;
}

LineOutline outlineOf(const Scan& scan) {
    LineOutline out;
    const Span uuid = scan.fields[fUuid];
    if (!isString(uuid) || uuid.end - uuid.begin == 2) {
        out.verdict = LineVerdict::notEvent;
        return out;
    }
    const Span parent = scan.fields[fParentUuid];
    const bool rootParent = !parent.present() || *parent.begin == 'n';
    if (!rootParent && !isString(parent))
        return out;
    out.verdict = LineVerdict::event;
    out.uuid = utf8String(uuid);
    if (!rootParent)
        out.parentUuid = utf8String(parent);
    const Span type = scan.fields[fType];
    if (stringEquals(type, QLatin1StringView("user")))
        out.type = stringEquals(member(scan.fields[fOrigin], "kind"), QLatin1StringView("human"))
                       ? EventType::human
                       : EventType::user;
    else if (stringEquals(type, QLatin1StringView("assistant")))
        out.type = EventType::assistant;
    return out;
}

QString contentText(Span content, const QString& separator) {
    if (isString(content))
        return decodeString(content);
    QString out;
    bool first = true;
    elements(content, [&](Span block) {
        if (!stringEquals(member(block, "type"), QLatin1StringView("text")))
            return;
        const Span text = member(block, "text");
        if (!isString(text) || text.end - text.begin == 2)
            return;
        if (!first)
            out += separator;
        out += decodeString(text);
        first = false;
    });
    return out;
}

// An event's content from its outline: the text of its message (`text` reads it, given how the
// kind joins text blocks), and when it was written (`timestamp`), read only when there is a text.
template <typename Text, typename Timestamp>
RowContent contentOf(LineOutline outline, Text&& text, Timestamp&& timestamp) {
    RowContent out;
    out.outline = std::move(outline);
    if (out.outline.type == EventType::human && out.outline.verdict == LineVerdict::event) {
        out.kind = RowKind::human;
        out.text = text(kUserJoin);
    } else if (out.outline.type == EventType::assistant && out.outline.verdict == LineVerdict::event) {
        out.kind = RowKind::assistant;
        out.text = text(kAssistantJoin);
    }
    if (out.text.isEmpty()) {
        out.kind = RowKind::other;
        return out;
    }
    if (const std::optional<QString> stamp = timestamp())
        out.createdAtMs = timestampMs(*stamp).value_or(0);
    return out;
}

} // namespace

// ---------------------------------------------------------------------------------------------

std::optional<qint64> timestampMs(const QString& text) {
    auto digits = [&](qsizetype at, int count, int& value) {
        value = 0;
        if (at + count > text.size())
            return false;
        for (int i = 0; i < count; ++i) {
            const char16_t c = text[at + i].unicode();
            if (c < u'0' || c > u'9')
                return false;
            value = value * 10 + int(c - u'0');
        }
        return true;
    };
    // The form every event carries is read by hand: a transcript holds tens of thousands of them.
    int year, month, day, hour, minute, second;
    if (text.size() >= 20 && digits(0, 4, year) && text[4] == u'-' && digits(5, 2, month) &&
        text[7] == u'-' && digits(8, 2, day) && text[10] == u'T' && digits(11, 2, hour) && text[13] == u':' &&
        digits(14, 2, minute) && text[16] == u':' && digits(17, 2, second)) {
        qsizetype at = 19;
        int millis = 0;
        if (at < text.size() && text[at] == u'.') {
            ++at;
            int place = 100;
            const qsizetype start = at;
            while (at < text.size() && text[at].isDigit() && text[at].unicode() < 128) {
                millis += place * int(text[at].unicode() - u'0');
                place /= 10;
                ++at;
            }
            if (at == start)
                return std::nullopt;
        }
        if (at + 1 == text.size() && text[at] == u'Z') {
            const QDate date(year, month, day);
            if (!date.isValid() || hour > 23 || minute > 59 || second > 60)
                return std::nullopt;
            const qint64 days = date.toJulianDay() - QDate(1970, 1, 1).toJulianDay();
            return ((days * 24 + hour) * 60 + minute) * 60000LL + second * 1000LL + millis;
        }
    }
    const QDateTime parsed = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!parsed.isValid())
        return std::nullopt;
    return parsed.toMSecsSinceEpoch();
}

LineOutline outlineLineByParser(QByteArrayView line) {
    return parseLine(line).outline;
}

LineOutline outlineLine(QByteArrayView line) {
    const std::optional<Scan> scan = Validator(line).line();
    if (!scan)
        return outlineLineByParser(line);
    return outlineOf(*scan);
}

RowContent readRowContentByParser(QByteArrayView line) {
    const Parsed parsed = parseLine(line);
    const QJsonValue content =
        json::object(parsed.object, QStringLiteral("message")).value.value(QStringLiteral("content"));
    return contentOf(
        parsed.outline, [&](const QString& separator) { return contentText(content, separator); },
        [&] { return json::string(parsed.object, QStringLiteral("timestamp")).optional(); });
}

RowContent readRowContent(QByteArrayView line, bool parsed) {
    const std::optional<Scan> scan = parsed ? std::nullopt : Validator(line).line();
    if (!scan)
        return readRowContentByParser(line);
    const Span content = member(scan->fields[fMessage], "content");
    const Span timestamp = scan->fields[fTimestamp];
    return contentOf(
        outlineOf(*scan), [&](const QString& separator) { return contentText(content, separator); },
        [&] { return isString(timestamp) ? std::optional<QString>(decodeString(timestamp)) : std::nullopt; });
}

} // namespace quillmere::ClaudeLocalConversationArchive
