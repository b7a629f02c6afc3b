#include "core/Text.h"

#include <QTextBoundaryFinder>

#include <limits>

namespace quillmere::text {

namespace {

// Visits the text's scalar values with their UTF-16 offsets; unpaired surrogates come through as
// themselves so no input is ever skipped.
template <typename F> void forEachScalar(QStringView text, F&& f) {
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n;) {
        const QChar c = text[i];
        char32_t scalar = c.unicode();
        qsizetype width = 1;
        if (c.isHighSurrogate() && i + 1 < n && text[i + 1].isLowSurrogate()) {
            scalar = QChar::surrogateToUcs4(c, text[i + 1]);
            width = 2;
        }
        if (!f(scalar, i, width))
            return;
        i += width;
    }
}

// UTF-16 offset just past the first `count` grapheme clusters.
qsizetype offsetAfterCharacters(QStringView text, qsizetype count) {
    if (count <= 0)
        return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.data(), text.size());
    qsizetype seen = 0;
    qsizetype position = 0;
    while ((position = finder.toNextBoundary()) != -1) {
        if (++seen == count)
            return position;
    }
    return text.size();
}

} // namespace

bool isWhiteSpace(char32_t scalar) {
    // QChar::isSpace covers the separator categories plus the control characters that Unicode
    // lists as White_Space, which is exactly the White_Space property.
    return QChar::isSpace(scalar);
}

qsizetype characterCount(QStringView text) {
    if (text.isEmpty())
        return 0;
    // Fast path: printable ASCII other than CR has one cluster per code unit.
    bool simple = true;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x7F || u == u'\r') {
            simple = false;
            break;
        }
    }
    if (simple)
        return text.size();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.data(), text.size());
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

QString characterPrefix(QStringView text, qsizetype count) {
    return text.left(offsetAfterCharacters(text, count)).toString();
}

QString characterSuffix(QStringView text, qsizetype count) {
    if (count <= 0)
        return {};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.data(), text.size());
    finder.toEnd();
    qsizetype position = text.size();
    for (qsizetype k = 0; k < count; ++k) {
        const qsizetype previous = finder.toPreviousBoundary();
        if (previous <= 0)
            return text.toString();
        position = previous;
    }
    return text.mid(position).toString();
}

QString trimmed(QStringView text) {
    qsizetype start = 0;
    qsizetype end = text.size();
    forEachScalar(text, [&](char32_t s, qsizetype, qsizetype width) {
        if (!isWhiteSpace(s))
            return false;
        start += width;
        return true;
    });
    while (end > start) {
        // Every White_Space character lies in the Basic Multilingual Plane.
        if (!isWhiteSpace(text[end - 1].unicode()))
            break;
        --end;
    }
    return text.mid(start, end - start).toString();
}

bool isBlank(QStringView text) {
    // Every White_Space character lies in the Basic Multilingual Plane: a surrogate is no blank.
    for (const QChar c : text)
        if (!isWhiteSpace(c.unicode()))
            return false;
    return true;
}

QStringList words(QStringView text) {
    QStringList out;
    qsizetype wordStart = -1;
    forEachScalar(text, [&](char32_t s, qsizetype i, qsizetype) {
        if (isWhiteSpace(s)) {
            if (wordStart >= 0) {
                out << text.mid(wordStart, i - wordStart).toString();
                wordStart = -1;
            }
        } else if (wordStart < 0) {
            wordStart = i;
        }
        return true;
    });
    if (wordStart >= 0)
        out << text.mid(wordStart).toString();
    return out;
}

QString collapseWhiteSpace(QStringView text) {
    // White_Space has no characters outside the Basic Multilingual Plane, so code units can be
    // tested one by one; printable ASCII, most of any text, is settled by the first comparison.
    const char16_t* units = text.utf16();
    const auto space = [](char16_t u) { return !(u > 0x20 && u < 0x80) && QChar::isSpace(u); };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && space(units[begin]))
        ++begin;
    while (end > begin && space(units[end - 1]))
        --end;

    // Long texts go through here several times per scan and most are already folded: nothing is
    // built until the first run that needs folding.
    QString out;
    qsizetype run = begin; // start of the text not yet copied to `out`
    for (qsizetype i = begin; i < end; ++i) {
        if (!space(units[i]))
            continue;
        // units[end - 1] is not white space, so a run that starts before `end` also ends there.
        qsizetype next = i + 1;
        while (space(units[next]))
            ++next;
        if (next == i + 1 && units[i] == 0x20)
            continue; // already a single blank
        if (out.isNull())
            out.reserve(end - begin);
        out.append(text.sliced(run, i - run));
        out.append(QLatin1Char(' '));
        run = next;
        i = next - 1;
    }
    if (out.isNull())
        return text.sliced(begin, end - begin).toString();
    out.append(text.sliced(run, end - run));
    return out;
}

QString canonical(QStringView text) {
    // Pure ASCII is already in every normal form.
    for (QChar c : text)
        if (c.unicode() >= 0x80)
            return text.toString().normalized(QString::NormalizationForm_C);
    return text.toString();
}

bool canonicallyEqual(QStringView a, QStringView b) {
    if (a == b)
        return true;
    return canonical(a) == canonical(b);
}

QString lowercased(QStringView text) {
    return text.toString().toLower();
}

std::optional<qint64> parseInteger(QStringView text) {
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i == text.size())
        return std::nullopt;
    // Accumulate negatively so that the most negative value fits.
    qint64 value = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        const int digit = c - u'0';
        if (value < (std::numeric_limits<qint64>::min() + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == std::numeric_limits<qint64>::min())
            return std::nullopt;
        value = -value;
    }
    return value;
}

QString capitalized(QStringView text) {
    QString out;
    out.reserve(text.size());
    bool atWordStart = true;
    forEachScalar(text, [&](char32_t s, qsizetype i, qsizetype width) {
        if (isWhiteSpace(s)) {
            atWordStart = true;
            out += text.mid(i, width);
            return true;
        }
        if (atWordStart) {
            const char32_t title = QChar::toTitleCase(s);
            out += QString::fromUcs4(&title, 1);
            atWordStart = false;
        } else {
            out += text.mid(i, width).toString().toLower();
        }
        return true;
    });
    return out;
}

QStringList letterOrNumberRuns(QStringView text) {
    QStringList runs;
    QString current;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.data(), text.size());
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = finder.toNextBoundary();
        if (end <= start)
            end = text.size();
        const QStringView cluster = text.mid(start, end - start);
        char32_t first = cluster.at(0).unicode();
        if (QChar::isHighSurrogate(first) && cluster.size() > 1 && cluster.at(1).isLowSurrogate())
            first = QChar::surrogateToUcs4(cluster.at(0), cluster.at(1));
        if (QChar::isLetter(first) || QChar::isNumber(first)) {
            current += cluster;
        } else if (!current.isEmpty()) {
            runs << current;
            current.clear();
        }
        start = end;
    }
    if (!current.isEmpty())
        runs << current;
    return runs;
}

bool containsLetterOrNumber(QStringView text) {
    bool found = false;
    forEachScalar(text, [&](char32_t s, qsizetype, qsizetype) {
        found = QChar::isLetterOrNumber(s);
        return !found;
    });
    return found;
}

} // namespace quillmere::text
