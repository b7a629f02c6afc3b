// How a stored item's JSON body becomes the message the reader keeps.
//
// A long thread holds thousands of items and the full read decodes all of them whenever the thread
// changes. The general JSON parser builds every value of the document and decodes strings that
// hold escapes one character at a time, which made it most of a lookup's cost. The scanner here
// reads only the few fields a message needs, in one pass, and gives up on anything outside a
// strict, plain subset of JSON (unusual escapes, raw control characters, exponents, deep nesting,
// repeated keys it reads, ...). Then the general parser decides, so the result is always what the
// general parser would have given.

#include "desktop/observation/CodexLocalConversationArchive.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/Json.h"

namespace quillmere::CodexLocalConversationArchive {

namespace {

ConversationText::Message userMessage(const QStringList& parts) {
    return ConversationText::Message{QStringLiteral("user"),
                                     parts.size() == 1 ? parts.front() : parts.join(QLatin1Char('\n'))};
}

bool isAcceptedPhase(QStringView phase) {
    return phase == QLatin1StringView("commentary") || phase == QLatin1StringView("final_answer");
}

// One pass over the bytes of a document. Every member returns false when the document leaves the
// plain subset, after which the scanner's result means nothing.
class Scanner {
public:
    Scanner(const char* begin, const char* end) : at_(begin), end_(end) {}

    bool atEnd() {
        skipSpace();
        return at_ == end_;
    }

    bool expect(char c) {
        skipSpace();
        if (at_ == end_ || *at_ != c)
            return false;
        ++at_;
        return true;
    }

    // Whether the next value (after blanks) is the given bracket or quote; consumes nothing but
    // the blanks.
    bool next(char c) {
        skipSpace();
        return at_ != end_ && *at_ == c;
    }

    // A key: its raw bytes, which must hold no escape so that they can be compared as they stand.
    bool key(QByteArrayView& raw) {
        skipSpace();
        const char* start = at_ + 1;
        bool escaped = false;
        if (!string(nullptr, &escaped) || escaped)
            return false;
        raw = QByteArrayView(start, at_ - 1 - start);
        return true;
    }

    // A string value, decoded into `out` when given.
    bool string(QString* out, bool* escaped = nullptr) {
        if (at_ == end_ || *at_ != '"')
            return false;
        ++at_;
        char16_t* write = nullptr;
        char16_t* start = nullptr;
        if (out) {
            // No character takes more UTF-16 units than its UTF-8 or escaped form has bytes, so
            // the rest of the document is room enough; the text is most of the document.
            out->resize(end_ - at_);
            start = write = reinterpret_cast<char16_t*>(out->data());
        }
        for (;;) {
            // The common case: a run of printable ASCII other than the quote and the backslash.
            if (write) {
#if defined(__SSE2__)
                // Sixteen bytes at a time while none is special, widened to UTF-16 as they stand.
                while (end_ - at_ >= 16) {
                    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at_));
                    // Signed comparison: bytes from 0x80 up count as below the blank.
                    const __m128i special =
                        _mm_or_si128(_mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20)),
                                     _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')),
                                                  _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))));
                    if (_mm_movemask_epi8(special) != 0)
                        break;
                    const __m128i zero = _mm_setzero_si128();
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(write), _mm_unpacklo_epi8(bytes, zero));
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(write + 8), _mm_unpackhi_epi8(bytes, zero));
                    write += 16;
                    at_ += 16;
                }
#endif
                while (at_ != end_ && isPlain(*at_))
                    *write++ = static_cast<unsigned char>(*at_++);
            } else {
                while (at_ != end_ && isPlain(*at_))
                    ++at_;
            }
            if (at_ == end_)
                return false;
            const unsigned char c = static_cast<unsigned char>(*at_);
            if (c == '"') {
                ++at_;
                if (out) {
                    out->truncate(write - start);
                    if (out->capacity() - out->size() > 64)
                        out->squeeze();
                }
                return true;
            }
            if (c < 0x20)
                return false;
            if (c == '\\') {
                if (escaped)
                    *escaped = true;
                char16_t unit = 0;
                if (!escape(unit))
                    return false;
                if (write)
                    *write++ = unit;
                continue;
            }
            char32_t code = 0;
            if (!utf8(code))
                return false;
            if (write) {
                if (code > 0xFFFF) {
                    *write++ = char16_t(0xD800 + ((code - 0x10000) >> 10));
                    *write++ = char16_t(0xDC00 + ((code - 0x10000) & 0x3FF));
                } else {
                    *write++ = char16_t(code);
                }
            }
        }
    }

    // Any value, checked but not kept.
    bool skipValue(int depth) {
        skipSpace();
        if (at_ == end_)
            return false;
        switch (*at_) {
        case '"':
            return string(nullptr);
        case '{': {
            if (depth >= maxDepth)
                return false;
            ++at_;
            if (next('}')) {
                ++at_;
                return true;
            }
            do {
                QByteArrayView ignored;
                skipSpace();
                if (!key(ignored) || !expect(':') || !skipValue(depth + 1))
                    return false;
            } while (expect(','));
            return expect('}');
        }
        case '[': {
            if (depth >= maxDepth)
                return false;
            ++at_;
            if (next(']')) {
                ++at_;
                return true;
            }
            do {
                if (!skipValue(depth + 1))
                    return false;
            } while (expect(','));
            return expect(']');
        }
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

private:
    static constexpr int maxDepth = 64;

    void skipSpace() {
        while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t'))
            ++at_;
    }

    bool literal(QByteArrayView word) {
        if (end_ - at_ < word.size() || QByteArrayView(at_, word.size()) != word)
            return false;
        at_ += word.size();
        return true;
    }

    // Printable ASCII that stands for itself inside a string.
    static bool isPlain(char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x20 && u < 0x80 && u != '"' && u != '\\';
    }

    static bool isDigit(char c) {
        return c >= '0' && c <= '9';
    }

    // A plain decimal: optional minus, an integer part without leading zeros and an optional
    // fraction; no exponent, and short enough that no conversion can overflow.
    bool number() {
        const char* start = at_;
        if (at_ != end_ && *at_ == '-')
            ++at_;
        if (at_ == end_ || !isDigit(*at_))
            return false;
        if (*at_ == '0')
            ++at_;
        else
            while (at_ != end_ && isDigit(*at_))
                ++at_;
        if (at_ != end_ && *at_ == '.') {
            ++at_;
            if (at_ == end_ || !isDigit(*at_))
                return false;
            while (at_ != end_ && isDigit(*at_))
                ++at_;
        }
        if (at_ != end_ && (*at_ == 'e' || *at_ == 'E'))
            return false;
        return at_ - start <= 100;
    }

    static int hexValue(char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    // One of JSON's escapes, as one UTF-16 unit (a \u escape of half a surrogate pair stays half).
    bool escape(char16_t& unit) {
        if (end_ - at_ < 2)
            return false;
        const char kind = at_[1];
        at_ += 2;
        switch (kind) {
        case '"':
            unit = u'"';
            return true;
        case '\\':
            unit = u'\\';
            return true;
        case '/':
            unit = u'/';
            return true;
        case 'b':
            unit = u'\b';
            return true;
        case 'f':
            unit = u'\f';
            return true;
        case 'n':
            unit = u'\n';
            return true;
        case 'r':
            unit = u'\r';
            return true;
        case 't':
            unit = u'\t';
            return true;
        case 'u': {
            if (end_ - at_ < 4)
                return false;
            int value = 0;
            for (int i = 0; i < 4; ++i) {
                const int digit = hexValue(at_[i]);
                if (digit < 0)
                    return false;
                value = value * 16 + digit;
            }
            at_ += 4;
            unit = char16_t(value);
            return true;
        }
        default:
            return false;
        }
    }

    // One well-formed UTF-8 sequence of two to four bytes: no overlong form, no surrogate, nothing
    // beyond U+10FFFF.
    bool utf8(char32_t& code) {
        const auto byte = [this](qsizetype i) { return static_cast<unsigned char>(at_[i]); };
        const unsigned char lead = byte(0);
        int length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
            if (lead == 0xE0)
                low = 0xA0;
            else if (lead == 0xED)
                high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
            if (lead == 0xF0)
                low = 0x90;
            else if (lead == 0xF4)
                high = 0x8F;
        } else {
            return false;
        }
        if (end_ - at_ < length)
            return false;
        for (int i = 1; i < length; ++i) {
            const unsigned char next = byte(i);
            if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        at_ += length;
        return true;
    }

    const char* at_;
    const char* const end_;
};

// The fields of a message as the scanner found them.
struct Fields {
    std::optional<QString> phase;
    std::optional<QString> text;
    QStringList parts;
};

// A string member the caller reads: none when the value is of another type.
bool stringMember(Scanner& scanner, std::optional<QString>& value, int depth) {
    if (scanner.next('"')) {
        QString text;
        if (!scanner.string(&text))
            return false;
        value = std::move(text);
        return true;
    }
    return scanner.skipValue(depth);
}

// One element of a user message's "content": an object whose "type" and "text" are read.
bool contentPart(Scanner& scanner, QStringList& parts) {
    if (!scanner.next('{'))
        return scanner.skipValue(2);
    scanner.expect('{');
    std::optional<QString> type;
    std::optional<QString> text;
    bool sawType = false;
    bool sawText = false;
    if (!scanner.next('}')) {
        do {
            QByteArrayView key;
            if (!scanner.key(key) || !scanner.expect(':'))
                return false;
            if (key == "type") {
                if (std::exchange(sawType, true) || !stringMember(scanner, type, 3))
                    return false;
            } else if (key == "text") {
                if (std::exchange(sawText, true) || !stringMember(scanner, text, 3))
                    return false;
            } else if (!scanner.skipValue(3)) {
                return false;
            }
        } while (scanner.expect(','));
    }
    if (!scanner.expect('}'))
        return false;
    if (type && *type == QLatin1StringView("text") && text)
        parts.append(std::move(*text));
    return true;
}

bool content(Scanner& scanner, QStringList& parts) {
    if (!scanner.next('['))
        return scanner.skipValue(1);
    scanner.expect('[');
    if (scanner.next(']'))
        return scanner.expect(']');
    do {
        if (!contentPart(scanner, parts))
            return false;
    } while (scanner.expect(','));
    return scanner.expect(']');
}

// The plain-subset reading of a whole document; none when the general parser must decide.
std::optional<Fields> scan(QByteArrayView json, bool user) {
    Scanner scanner(json.data(), json.data() + json.size());
    if (!scanner.expect('{'))
        return std::nullopt;
    Fields fields;
    bool sawContent = false;
    bool sawPhase = false;
    bool sawText = false;
    if (!scanner.next('}')) {
        do {
            QByteArrayView key;
            if (!scanner.key(key) || !scanner.expect(':'))
                return std::nullopt;
            bool ok = true;
            if (user && key == "content")
                ok = !std::exchange(sawContent, true) && content(scanner, fields.parts);
            else if (!user && key == "phase")
                ok = !std::exchange(sawPhase, true) && stringMember(scanner, fields.phase, 1);
            else if (!user && key == "text")
                ok = !std::exchange(sawText, true) && stringMember(scanner, fields.text, 1);
            else
                ok = scanner.skipValue(1);
            if (!ok)
                return std::nullopt;
        } while (scanner.expect(','));
    }
    if (!scanner.expect('}') || !scanner.atEnd())
        return std::nullopt;
    return fields;
}

} // namespace

ItemDecoding decodeItemWithDocument(QStringView itemType, const QByteArray& json) {
    const std::optional<QJsonObject> item = json::parseObject(json);
    if (!item)
        return {false, std::nullopt};
    if (itemType == QLatin1StringView("userMessage")) {
        QStringList parts;
        const json::Field<QJsonArray> content = json::array(*item, QStringLiteral("content"));
        if (content.isPresent()) {
            for (const QJsonValue& value : content.value) {
                if (!value.isObject())
                    continue;
                const QJsonObject part = value.toObject();
                const json::Field<QString> type = json::string(part, QStringLiteral("type"));
                const json::Field<QString> text = json::string(part, QStringLiteral("text"));
                if (type.isPresent() && type.value == QLatin1StringView("text") && text.isPresent())
                    parts.append(text.value);
            }
        }
        return {true, userMessage(parts)};
    }
    if (itemType == QLatin1StringView("agentMessage")) {
        const json::Field<QString> phase = json::string(*item, QStringLiteral("phase"));
        if (!phase.isPresent() || !isAcceptedPhase(phase.value))
            return {true, std::nullopt};
        const json::Field<QString> text = json::string(*item, QStringLiteral("text"));
        return {true, ConversationText::Message{QStringLiteral("assistant"),
                                                text.isPresent() ? text.value : QString()}};
    }
    return {true, std::nullopt};
}

std::optional<ItemDecoding> scanItem(QStringView itemType, QByteArrayView json) {
    const bool user = itemType == QLatin1StringView("userMessage");
    const bool agent = itemType == QLatin1StringView("agentMessage");
    std::optional<Fields> fields = scan(json, user);
    if (!fields)
        return std::nullopt;
    if (user)
        return ItemDecoding{true, userMessage(fields->parts)};
    if (agent) {
        if (!fields->phase || !isAcceptedPhase(*fields->phase))
            return ItemDecoding{true, std::nullopt};
        return ItemDecoding{true,
                            ConversationText::Message{QStringLiteral("assistant"),
                                                      fields->text ? std::move(*fields->text) : QString()}};
    }
    return ItemDecoding{true, std::nullopt};
}

ItemDecoding decodeItem(QStringView itemType, const QByteArray& json) {
    if (std::optional<ItemDecoding> scanned = scanItem(itemType, json))
        return std::move(*scanned);
    return decodeItemWithDocument(itemType, json);
}

} // namespace quillmere::CodexLocalConversationArchive
