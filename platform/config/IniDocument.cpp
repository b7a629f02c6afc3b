#include "platform/config/IniDocument.h"

#include <QStringList>
#include <iterator>

namespace quillmere {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isHexDigit(char16_t c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

struct Line {
    qsizetype start = 0;
    qsizetype length = 0;
    qsizetype equals = -1; // the first '=' outside quotes, or -1
};

// The next logical line from `pos`: leading blanks skipped, a comment (from ';' at the start)
// skipped, a backslash joining the following character (a line break too), a line break or ';'
// inside quotes taken as text, ';' outside them ending the line.
Line nextLine(QByteArrayView data, qsizetype& pos) {
    Line line;
    bool inQuotes = false;
    qsizetype start = pos;
    while (start < data.size() && isBlank(data[start]))
        ++start;
    qsizetype i = start;
    while (i < data.size()) {
        const char ch = data[i++];
        if (ch == '=') {
            if (!inQuotes && line.equals == -1)
                line.equals = i - 1;
        } else if (ch == '\n' || ch == '\r') {
            if (!inQuotes) {
                --i;
                break;
            }
        } else if (ch == '\\') {
            if (i < data.size()) {
                const char next = data[i++];
                if (i < data.size() &&
                    ((next == '\n' && data[i] == '\r') || (next == '\r' && data[i] == '\n')))
                    ++i;
            }
        } else if (ch == '"') {
            inQuotes = !inQuotes;
        } else if (ch == ';') {
            if (i == start + 1) {
                while (i < data.size() && data[i] != '\n' && data[i] != '\r')
                    ++i;
                while (i < data.size() && isBlank(data[i]))
                    ++i;
                start = i;
            } else if (!inQuotes) {
                --i;
                break;
            }
        }
    }
    pos = i;
    line.start = start;
    line.length = i - start;
    return line;
}

// "%XX" and "%UXXXX" are characters, a backslash is a slash; the rest is UTF-8.
QString unescapedKey(QByteArrayView bytes) {
    const QString decoded = QString::fromUtf8(bytes);
    QString key;
    key.reserve(decoded.size());
    for (qsizetype i = 0; i < decoded.size();) {
        const QChar ch = decoded[i];
        if (ch == u'\\') {
            key += u'/';
            ++i;
            continue;
        }
        if (ch != u'%' || i == decoded.size() - 1) {
            key += ch;
            ++i;
            continue;
        }
        const bool wide = decoded[i + 1] == u'U';
        const qsizetype first = wide ? i + 2 : i + 1;
        const qsizetype digits = wide ? 4 : 2;
        bool ok = false;
        const ushort code = first + digits <= decoded.size()
                                ? QStringView(decoded).sliced(first, digits).toUShort(&ok, 16)
                                : 0;
        if (!ok) {
            key += u'%';
            ++i;
            continue;
        }
        key += QChar(code);
        i = first + digits;
    }
    return key;
}

QByteArray escapedKey(const QString& key) {
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    for (const QChar qc : key) {
        const char16_t ch = qc.unicode();
        if (ch == '/') {
            out += '\\';
        } else if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                   ch == '_' || ch == '-' || ch == '.') {
            out += char(ch);
        } else if (ch <= 0xFF) {
            out += '%';
            out += hex[ch >> 4];
            out += hex[ch & 0xF];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hex[(ch >> shift) & 0xF];
        }
    }
    return out;
}

// A value as text: quotes group, backslash escapes (C's, "\x" hexadecimal, octal, a line break
// continuing the value), blanks around an unquoted value dropped; a comma outside quotes makes a
// list, which is not one string.
std::optional<QString> unescapedValue(QByteArrayView str) {
    static constexpr char escapes[][2] = {{'a', '\a'}, {'b', '\b'},  {'f', '\f'}, {'n', '\n'},
                                          {'r', '\r'}, {'t', '\t'},  {'v', '\v'}, {'"', '"'},
                                          {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    enum class State { skipBlanks, normal, hex, octal };
    State state = State::skipBlanks;
    QString text;
    bool list = false;
    bool inQuotes = false;
    bool quoted = false;
    char16_t escape = 0;
    qsizetype chopLimit = 0;
    qsizetype i = 0;
    const auto chopBlanks = [&] {
        while (text.size() > chopLimit && (text.back() == u' ' || text.back() == u'\t'))
            text.chop(1);
    };
    for (;;) {
        if (state == State::skipBlanks) {
            while (i < str.size() && (str[i] == ' ' || str[i] == '\t'))
                ++i;
            state = State::normal;
            chopLimit = text.size();
        }
        if (state == State::hex || state == State::octal) {
            const bool hex = state == State::hex;
            if (i >= str.size()) {
                text += QChar(escape);
                break;
            }
            const char c = str[i];
            if (hex ? isHexDigit(char16_t(uchar(c))) : (c >= '0' && c <= '7')) {
                escape = char16_t(hex ? (escape << 4) + hexValue(c) : (escape << 3) + (c - '0'));
                ++i;
                continue;
            }
            text += QChar(escape);
            state = State::normal;
            chopLimit = text.size();
        }
        if (i >= str.size()) {
            if (!quoted)
                chopBlanks();
            break;
        }
        const char ch = str[i];
        if (ch == '\\') {
            if (++i >= str.size())
                break;
            const char code = str[i++];
            const auto simple = std::find_if(std::begin(escapes), std::end(escapes),
                                             [code](const char(&pair)[2]) { return pair[0] == code; });
            if (simple != std::end(escapes)) {
                text += QLatin1Char((*simple)[1]);
            } else if (code == 'x') {
                escape = 0;
                if (i >= str.size())
                    break;
                if (isHexDigit(char16_t(uchar(str[i])))) {
                    state = State::hex;
                    continue;
                }
            } else if (code >= '0' && code <= '7') {
                escape = char16_t(code - '0');
                state = State::octal;
                continue;
            } else if (code == '\n' || code == '\r') {
                if (i < str.size() && (str[i] == '\n' || str[i] == '\r') && str[i] != code)
                    ++i;
            }
            chopLimit = text.size();
        } else if (ch == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes)
                state = State::skipBlanks;
        } else if (ch == ',' && !inQuotes) {
            if (!quoted)
                chopBlanks();
            list = true;
            text.clear();
            quoted = false;
            ++i;
            state = State::skipBlanks;
        } else {
            qsizetype j = i + 1;
            while (j < str.size() && str[j] != '\\' && str[j] != '"' && str[j] != ',')
                ++j;
            text += QString::fromUtf8(str.sliced(i, j - i));
            i = j;
        }
    }
    if (list)
        return std::nullopt;
    return text;
}

// A value that reads as one string: typed values ("@ByteArray(…)", "@Rect(…)", …) do not; a
// string that starts with "@" is written with a second one.
std::optional<QString> plainString(QByteArrayView raw) {
    std::optional<QString> text = unescapedValue(raw);
    if (!text || !text->startsWith(u'@'))
        return text;
    if (text->endsWith(u')')) {
        if (text->startsWith(QLatin1String("@String(")))
            return text->sliced(8).chopped(1);
        for (const char* typed : {"@ByteArray(", "@Variant(", "@DateTime(", "@Rect(", "@Size(", "@Point("})
            if (text->startsWith(QLatin1String(typed)))
                return std::nullopt;
        if (*text == QLatin1String("@Invalid()"))
            return std::nullopt;
    }
    if (text->startsWith(QLatin1String("@@")))
        return text->sliced(1);
    return text;
}

QByteArray escapedValue(const QString& value) {
    QString text = value;
    if (text.contains(QChar(0)))
        text = QStringLiteral("@String(") + text + u')';
    else if (text.startsWith(u'@'))
        text.prepend(u'@');
    QByteArray out;
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    QString run; // characters written as they are, in UTF-8
    const auto flush = [&] {
        out += run.toUtf8();
        run.clear();
    };
    for (const QChar qc : text) {
        const char16_t ch = qc.unicode();
        if (ch == ';' || ch == ',' || ch == '=')
            needsQuotes = true;
        // After a numeric escape a hexadecimal digit would be read as part of it.
        if (escapeNextIfDigit && isHexDigit(ch)) {
            flush();
            out += "\\x" + QByteArray::number(ch, 16);
            continue;
        }
        escapeNextIfDigit = false;
        const char* named = nullptr;
        switch (ch) {
        case '\0':
            named = "\\0";
            escapeNextIfDigit = true;
            break;
        case '\a':
            named = "\\a";
            break;
        case '\b':
            named = "\\b";
            break;
        case '\f':
            named = "\\f";
            break;
        case '\n':
            named = "\\n";
            break;
        case '\r':
            named = "\\r";
            break;
        case '\t':
            named = "\\t";
            break;
        case '\v':
            named = "\\v";
            break;
        case '"':
            named = "\\\"";
            break;
        case '\\':
            named = "\\\\";
            break;
        default:
            if (ch <= 0x1F) {
                flush();
                out += "\\x" + QByteArray::number(ch, 16);
                escapeNextIfDigit = true;
                continue;
            }
            run += qc;
            continue;
        }
        flush();
        out += named;
    }
    flush();
    if (needsQuotes || out.startsWith(' ') || out.endsWith(' '))
        out = '"' + out + '"';
    return out;
}

QString sectionOf(const QString& key) {
    const qsizetype slash = key.indexOf(u'/');
    return slash < 0 ? QString() : key.left(slash);
}

} // namespace

IniDocument IniDocument::parse(QByteArrayView data) {
    IniDocument document;
    qsizetype pos = data.startsWith("\xef\xbb\xbf") ? 3 : 0;
    QString section; // with its trailing slash; empty for [General]
    while (pos < data.size()) {
        const Line line = nextLine(data, pos);
        if (line.length <= 0)
            continue;
        const QByteArrayView text = data.sliced(line.start, line.length);
        if (text.front() == '[') {
            const qsizetype close = text.indexOf(']');
            const QByteArrayView name = (close < 0 ? text.sliced(1) : text.sliced(1, close - 1)).trimmed();
            if (name.compare("general", Qt::CaseInsensitive) == 0)
                section.clear();
            else if (name.compare("%general", Qt::CaseInsensitive) == 0)
                section = QString::fromLatin1(name.sliced(1)) + u'/';
            else
                section = unescapedKey(name) + u'/';
            continue;
        }
        if (line.equals < 0)
            continue; // neither a section nor a key: dropped, as QSettings drops it
        qsizetype keyEnd = line.equals;
        while (keyEnd > line.start && (data[keyEnd - 1] == ' ' || data[keyEnd - 1] == '\t'))
            --keyEnd;
        QByteArrayView value = data.sliced(line.equals + 1, line.start + line.length - line.equals - 1);
        while (!value.isEmpty() && (value.front() == ' ' || value.front() == '\t'))
            value = value.sliced(1);
        document.values_.insert(section + unescapedKey(data.sliced(line.start, keyEnd - line.start)),
                                value.toByteArray());
    }
    return document;
}

QByteArray IniDocument::text() const {
    QMap<QString, QMap<QString, QByteArray>> sections;
    for (auto value = values_.cbegin(); value != values_.cend(); ++value) {
        const QString section = sectionOf(value.key());
        sections[section].insert(section.isEmpty() ? value.key() : value.key().sliced(section.size() + 1),
                                 value.value());
    }
    QByteArray out;
    for (auto section = sections.cbegin(); section != sections.cend(); ++section) {
        if (!out.isEmpty())
            out += '\n';
        const QString& name = section.key();
        out += '[' +
               (name.isEmpty()                                       ? QByteArray("General")
                : name.compare(u"General", Qt::CaseInsensitive) == 0 ? '%' + name.toLatin1()
                                                                     : escapedKey(name)) +
               "]\n";
        for (auto value = section->cbegin(); value != section->cend(); ++value)
            out += escapedKey(value.key()) + '=' + value.value() + '\n';
    }
    return out;
}

QHash<QString, QString> IniDocument::strings() const {
    QHash<QString, QString> strings;
    for (auto value = values_.cbegin(); value != values_.cend(); ++value)
        if (std::optional<QString> text = plainString(value.value()))
            strings.insert(value.key(), std::move(*text));
    return strings;
}

void IniDocument::set(const QString& key, const QString& value) {
    values_.insert(key, escapedValue(value));
}

void IniDocument::remove(const QString& key) {
    values_.remove(key);
}

} // namespace quillmere
