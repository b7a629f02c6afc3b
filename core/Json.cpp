#include "core/Json.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringEncoder>
#include <QVariant>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmere::json {

// ---------------------------------------------------------------------------------------------
// Typed readers

namespace {

template <typename T, typename Accept>
Field<T> read(const QJsonObject& object, const QString& key, Accept&& accept) {
    const auto it = object.constFind(key);
    if (it == object.constEnd())
        return {Presence::absent, T{}};
    const QJsonValue value = it.value();
    if (value.isNull())
        return {Presence::null, T{}};
    T out{};
    if (!accept(value, out))
        return {Presence::wrongType, T{}};
    return {Presence::present, std::move(out)};
}

} // namespace

Field<QString> string(const QJsonObject& object, const QString& key) {
    return read<QString>(object, key, [](const QJsonValue& v, QString& out) {
        if (!v.isString())
            return false;
        out = v.toString();
        return true;
    });
}

Field<bool> boolean(const QJsonObject& object, const QString& key) {
    return read<bool>(object, key, [](const QJsonValue& v, bool& out) {
        if (!v.isBool())
            return false;
        out = v.toBool();
        return true;
    });
}

Field<double> number(const QJsonObject& object, const QString& key) {
    return read<double>(object, key, [](const QJsonValue& v, double& out) {
        if (!v.isDouble())
            return false;
        out = v.toDouble();
        return true;
    });
}

Field<qint64> integer(const QJsonObject& object, const QString& key) {
    return read<qint64>(object, key, [](const QJsonValue& v, qint64& out) {
        if (!v.isDouble())
            return false;
        const QVariant variant = v.toVariant();
        if (variant.typeId() == QMetaType::LongLong) {
            out = variant.toLongLong();
            return true;
        }
        const double d = v.toDouble();
        // 2^63 is exactly representable; anything at or beyond it does not fit.
        if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 ||
            d >= 9223372036854775808.0)
            return false;
        out = static_cast<qint64>(d);
        return true;
    });
}

Field<QJsonObject> object(const QJsonObject& object, const QString& key) {
    return read<QJsonObject>(object, key, [](const QJsonValue& v, QJsonObject& out) {
        if (!v.isObject())
            return false;
        out = v.toObject();
        return true;
    });
}

Field<QJsonArray> array(const QJsonObject& object, const QString& key) {
    return read<QJsonArray>(object, key, [](const QJsonValue& v, QJsonArray& out) {
        if (!v.isArray())
            return false;
        out = v.toArray();
        return true;
    });
}

std::optional<QJsonObject> parseObject(const QByteArray& bytes) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<QJsonArray> parseArray(const QByteArray& bytes) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    return document.array();
}

// ---------------------------------------------------------------------------------------------
// Writer

Value Value::from(const QJsonValue& value) {
    switch (value.type()) {
    case QJsonValue::Bool:
        return Value(value.toBool());
    case QJsonValue::Double: {
        const QVariant variant = value.toVariant();
        if (variant.typeId() == QMetaType::LongLong)
            return Value(qint64(variant.toLongLong()));
        return Value(value.toDouble());
    }
    case QJsonValue::String:
        return Value(value.toString());
    case QJsonValue::Array: {
        Array out;
        const QJsonArray array = value.toArray();
        out.reserve(array.size());
        for (const QJsonValue& element : array)
            out.push_back(from(element));
        return Value(std::move(out));
    }
    case QJsonValue::Object: {
        Object out;
        const QJsonObject object = value.toObject();
        out.reserve(object.size());
        for (auto it = object.begin(); it != object.end(); ++it)
            out.emplace_back(it.key(), from(it.value()));
        return Value(std::move(out));
    }
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        break;
    }
    return Value();
}

namespace {

// The first unit of `text` at or after `from` (where a character begins) that is U+0000 or half of a
// surrogate pair without its other half; the size of `text` when there is none.
qsizetype nulOrLoneSurrogate(QStringView text, qsizetype from) {
    for (qsizetype i = from; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (c.isNull() || c.isSurrogate())
            return i;
    }
    return text.size();
}

void appendQuoted(QByteArray& out, QStringView text, bool escapeLoneSurrogates = false) {
    static const char hex[] = "0123456789abcdef";
    // Asked to, the encoder puts a NUL byte where a half pair stands, so that texts without one
    // cost nothing more: a NUL byte is escaped anyway, and only then is the text looked at to tell
    // the unit it stands for.
    const QByteArray utf8 =
        escapeLoneSurrogates
            ? QByteArray(QStringEncoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless |
                                                                  QStringEncoder::Flag::ConvertInvalidToNull)
                             .encode(text))
            : text.toUtf8();
    qsizetype nextUnit = 0; // where the unit the next NUL byte stands for is looked for
    out.reserve(out.size() + utf8.size() + 2);
    out += '"';
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '/':
            out += "\\/";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char16_t unit = c;
                if (c == 0 && escapeLoneSurrogates) {
                    const qsizetype at = nulOrLoneSurrogate(text, nextUnit);
                    unit = at < text.size() ? text[at].unicode() : 0;
                    nextUnit = at + 1;
                }
                out += "\\u";
                out += hex[unit >> 12];
                out += hex[(unit >> 8) & 0xF];
                out += hex[(unit >> 4) & 0xF];
                out += hex[unit & 0xF];
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

// Keys compared by Unicode scalar value, which is the byte order of their UTF-8 forms.
bool scalarLess(const QByteArray& a, const QByteArray& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

class Writer {
public:
    explicit Writer(WriteOptions options) : options_(options) {}

    void value(const Value& v, int depth) {
        std::visit(
            [&](const auto& d) {
                using T = std::decay_t<decltype(d)>;
                if constexpr (std::is_same_v<T, std::monostate>)
                    out_ += "null";
                else if constexpr (std::is_same_v<T, bool>)
                    out_ += d ? "true" : "false";
                else if constexpr (std::is_same_v<T, qint64>)
                    out_ += QByteArray::number(d);
                else if constexpr (std::is_same_v<T, double>)
                    out_ += formatNumber(d);
                else if constexpr (std::is_same_v<T, QString>)
                    appendQuoted(out_, d, options_.escapeLoneSurrogates);
                else if constexpr (std::is_same_v<T, std::shared_ptr<Array>>)
                    array(*d, depth);
                else
                    object(*d, depth);
            },
            v.data());
    }

    QByteArray take() { return std::move(out_); }

private:
    void newline(int depth) {
        out_ += '\n';
        out_.append(QByteArray(depth * 2, ' '));
    }

    void array(const Array& items, int depth) {
        out_ += '[';
        if (items.empty() && options_.pretty) {
            out_ += "\n\n";
            out_.append(QByteArray(depth * 2, ' '));
        }
        bool first = true;
        for (const Value& item : items) {
            if (!first)
                out_ += ',';
            first = false;
            if (options_.pretty)
                newline(depth + 1);
            value(item, depth + 1);
        }
        if (!items.empty() && options_.pretty)
            newline(depth);
        out_ += ']';
    }

    void object(const Object& members, int depth) {
        struct Ordered {
            QByteArray utf8; // what the keys are sorted by
            const QString* key;
            const Value* value;
        };
        std::vector<Ordered> ordered;
        ordered.reserve(members.size());
        for (const auto& [key, v] : members)
            ordered.push_back({key.toUtf8(), &key, &v});
        if (options_.sortedKeys)
            std::stable_sort(ordered.begin(), ordered.end(),
                             [](const auto& a, const auto& b) { return scalarLess(a.utf8, b.utf8); });
        out_ += '{';
        if (ordered.empty() && options_.pretty) {
            out_ += "\n\n";
            out_.append(QByteArray(depth * 2, ' '));
        }
        bool first = true;
        for (const Ordered& member : ordered) {
            if (!first)
                out_ += ',';
            first = false;
            if (options_.pretty)
                newline(depth + 1);
            appendQuoted(out_, *member.key, options_.escapeLoneSurrogates);
            out_ += options_.pretty ? " : " : ":";
            value(*member.value, depth + 1);
        }
        if (!ordered.empty() && options_.pretty)
            newline(depth);
        out_ += '}';
    }

    WriteOptions options_;
    QByteArray out_;
};

} // namespace

QByteArray write(const Value& value, WriteOptions options) {
    Writer writer(options);
    writer.value(value, 0);
    return writer.take();
}

QByteArray quoted(QStringView text) {
    QByteArray out;
    appendQuoted(out, text);
    return out;
}

namespace {

// What the units from `i` up to `end` take quoted, one at a time; a pair of surrogates may take
// `i` one past `end`.
std::size_t quotedUnitsSize(const char16_t* units, qsizetype& i, qsizetype end, qsizetype n) {
    // What appendQuoted writes for each ASCII character.
    static constexpr auto ascii = [] {
        std::array<std::uint8_t, 0x80> bytes{};
        for (int c = 0; c < 0x80; ++c)
            bytes[std::size_t(c)] = c >= 0x20 ? 1 : 6;
        for (char c : {'"', '\\', '/', '\b', '\f', '\n', '\r', '\t'})
            bytes[std::size_t(c)] = 2;
        return bytes;
    }();
    std::size_t bytes = 0;
    for (; i < end; ++i) {
        const char16_t c = units[i];
        if (c < 0x80)
            bytes += ascii[c];
        else if (c < 0x800)
            bytes += 2;
        else if (!QChar::isSurrogate(c))
            bytes += 3;
        else if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(units[i + 1]))
            bytes += 4, ++i;
        else
            bytes += 6;
    }
    return bytes;
}

} // namespace

std::size_t quotedSize(QStringView text) {
    std::size_t bytes = 2;
    const char16_t* units = text.utf16();
    const qsizetype n = text.size();
    qsizetype i = 0;
#if defined(__SSE2__)
    // Eight units at once while each is a printable ASCII character written as it is, as most
    // text is: a memory measures every record it stores. Any other eight go one at a time.
    const __m128i space = _mm_set1_epi16(0x20), printable = _mm_set1_epi16(0x7F - 0x20),
                  quote = _mm_set1_epi16('"'), backslash = _mm_set1_epi16('\\'),
                  solidus = _mm_set1_epi16('/');
    while (i + 8 <= n) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i));
        // Zero where a unit lies in [0x20, 0x7F] and is none of the three escaped there.
        __m128i escaped = _mm_subs_epu16(_mm_sub_epi16(v, space), printable);
        escaped = _mm_or_si128(escaped, _mm_cmpeq_epi16(v, quote));
        escaped = _mm_or_si128(escaped, _mm_cmpeq_epi16(v, backslash));
        escaped = _mm_or_si128(escaped, _mm_cmpeq_epi16(v, solidus));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(escaped, _mm_setzero_si128())) == 0xFFFF) {
            bytes += 8;
            i += 8;
        } else {
            bytes += quotedUnitsSize(units, i, i + 8, n);
        }
    }
#endif
    return bytes + quotedUnitsSize(units, i, n, n);
}

QByteArray formatNumber(double value) {
    // JSON has no spelling for these; null keeps the document readable.
    if (!std::isfinite(value))
        return "null";
    if (value == 0)
        return std::signbit(value) ? "-0" : "0";
    // Integral values below 10^16 are written as whole numbers, without a fraction or exponent.
    if (std::trunc(value) == value && std::fabs(value) < 1e16)
        return QByteArray::number(static_cast<qint64>(value));

    // Shortest digits that read back the same value, then laid out as fixed notation for
    // exponents in [-4, 16) and as d.ddde±XX (at least two exponent digits) otherwise.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string scientific(buffer, result.ptr);
    const auto e = scientific.find('e');
    std::string mantissa = scientific.substr(0, e);
    const int exponent = std::stoi(scientific.substr(e + 1));
    const bool negative = mantissa[0] == '-';
    if (negative)
        mantissa.erase(0, 1);
    std::string digits;
    for (char c : mantissa)
        if (c != '.')
            digits += c;

    std::string out = negative ? "-" : "";
    if (exponent >= -4 && exponent < 16) {
        if (exponent < 0) {
            out += "0.";
            out.append(size_t(-exponent - 1), '0');
            out += digits;
        } else if (size_t(exponent) + 1 >= digits.size()) {
            out += digits;
            out.append(size_t(exponent) + 1 - digits.size(), '0');
        } else {
            out += digits.substr(0, size_t(exponent) + 1);
            out += '.';
            out += digits.substr(size_t(exponent) + 1);
        }
    } else {
        out += digits.substr(0, 1);
        if (digits.size() > 1) {
            out += '.';
            out += digits.substr(1);
        }
        char exponentText[16];
        std::snprintf(exponentText, sizeof exponentText, "e%c%02d", exponent < 0 ? '-' : '+',
                      std::abs(exponent));
        out += exponentText;
    }
    return QByteArray::fromStdString(out);
}

} // namespace quillmere::json
