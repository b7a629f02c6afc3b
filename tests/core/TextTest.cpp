#include "core/Text.h"

#include <gtest/gtest.h>

#include <limits>

using namespace quillmere;

namespace {
QString u(const char16_t* s) {
    return QString::fromUtf16(s);
}
} // namespace

TEST(TextCharacters, CountsGraphemeClustersNotCodeUnits) {
    EXPECT_EQ(text::characterCount(u"abc"), 3);
    EXPECT_EQ(text::characterCount(u""), 0);
    // e + combining acute is one character.
    EXPECT_EQ(text::characterCount(u"e\u0301"), 1);
    // A family emoji joined by zero-width joiners is one character.
    EXPECT_EQ(text::characterCount(u"\U0001F468\u200D\U0001F469\u200D\U0001F467"), 1);
    // A flag is one character made of two regional indicators.
    EXPECT_EQ(text::characterCount(u"\U0001F1EE\U0001F1F1x"), 2);
    // Hebrew letters with points: shin + shin dot + qamats counts once.
    EXPECT_EQ(text::characterCount(u"\u05E9\u05C1\u05B8\u05DC"), 2);
    // CR LF is a single character.
    EXPECT_EQ(text::characterCount(u"a\r\nb"), 3);
}

TEST(TextCharacters, PrefixAndSuffixNeverSplitACluster) {
    EXPECT_EQ(text::characterPrefix(u"e\u0301tude", 1), u(u"e\u0301"));
    EXPECT_EQ(text::characterPrefix(u"ab", 5), u(u"ab"));
    EXPECT_EQ(text::characterPrefix(u"ab", 0), u(u""));
    EXPECT_EQ(text::characterPrefix(u"\U0001F44D\U0001F3FDok", 1), u(u"\U0001F44D\U0001F3FD"));
    EXPECT_EQ(text::characterSuffix(u"abc\u05E9\u05C1", 2), u(u"c\u05E9\u05C1"));
    EXPECT_EQ(text::characterSuffix(u"ab", 9), u(u"ab"));
    EXPECT_EQ(text::characterSuffix(u"ab", 0), u(u""));
}

TEST(TextWhiteSpace, TrimsEveryUnicodeWhiteSpace) {
    EXPECT_EQ(text::trimmed(u"\u00A0\u2028 \t hi there \u3000\n\u0085"), u(u"hi there"));
    EXPECT_EQ(text::trimmed(u" \u2003 "), u(u""));
    // Zero-width space is not White_Space and stays.
    EXPECT_EQ(text::trimmed(u"\u200Bx"), u(u"\u200Bx"));
    EXPECT_TRUE(text::isWhiteSpace(0x202F));
    EXPECT_FALSE(text::isWhiteSpace(0x200B));
}

TEST(TextWhiteSpace, SplitsAndCollapsesRuns) {
    EXPECT_EQ(text::words(u"  one\u00A0two\n\nthree "), (QStringList{"one", "two", "three"}));
    EXPECT_TRUE(text::words(u" \t ").isEmpty());
    EXPECT_EQ(text::collapseWhiteSpace(u"\n a \u3000\t b  "), u(u"a b"));
    EXPECT_EQ(text::collapseWhiteSpace(u"\U0001F600  \U0001F600"), u(u"\U0001F600 \U0001F600"));
}

TEST(TextEquivalence, PrecomposedAndDecomposedAreEqual) {
    EXPECT_TRUE(text::canonicallyEqual(u"caf\u00E9", u"cafe\u0301"));
    EXPECT_FALSE(text::canonicallyEqual(u"cafe", u"caf\u00E9"));
    // Compatibility forms are different texts.
    EXPECT_FALSE(text::canonicallyEqual(u"\uFB01", u"fi"));
}

TEST(TextCase, LowercasesFullUnicode) {
    EXPECT_EQ(text::lowercased(u"GPT-5 \u00C9T\u00C9"), u(u"gpt-5 \u00E9t\u00E9"));
    // Capital I with dot above lowercases to i + combining dot: two code points.
    EXPECT_EQ(text::lowercased(u"\u0130"), u(u"i\u0307"));
    EXPECT_EQ(text::lowercased(u"\u0391\u0392"), u(u"\u03B1\u03B2"));
}

TEST(TextCase, CapitalizesEachWord) {
    EXPECT_EQ(text::capitalized(u"hello wORLD\tagain\nnow"), u(u"Hello World\tAgain\nNow"));
    EXPECT_EQ(text::capitalized(u"high-effort mode"), u(u"High-effort Mode"));
    EXPECT_EQ(text::capitalized(u""), u(u""));
    EXPECT_EQ(text::capitalized(u"\u00E9cole"), u(u"\u00C9cole"));
}

TEST(TextInteger, ParsesOnlyStrictWholeNumbers) {
    EXPECT_EQ(text::parseInteger(u"12"), 12);
    EXPECT_EQ(text::parseInteger(u"+12"), 12);
    EXPECT_EQ(text::parseInteger(u"-7"), -7);
    EXPECT_EQ(text::parseInteger(u"007"), 7);
    EXPECT_EQ(text::parseInteger(u"9223372036854775807"), std::numeric_limits<qint64>::max());
    EXPECT_EQ(text::parseInteger(u"-9223372036854775808"), std::numeric_limits<qint64>::min());
    for (const char16_t* bad : {u"", u"+", u"-", u"12 ", u" 12", u"1e3", u"1.0", u"+-1", u"0x10",
                                u"9223372036854775808", u"-9223372036854775809", u"99999999999999999999",
                                u"\u0661\u0662" /* Arabic-Indic digits */, u"\uFF11" /* fullwidth 1 */})
        EXPECT_EQ(text::parseInteger(bad), std::nullopt) << QString::fromUtf16(bad).toStdString();
}

TEST(TextLetters, FindsLettersOrNumbersInAnyScript) {
    EXPECT_TRUE(text::containsLetterOrNumber(u"…\u05D0"));
    EXPECT_TRUE(text::containsLetterOrNumber(u" 3 "));
    EXPECT_FALSE(text::containsLetterOrNumber(u" …—!\U0001F600"));
}

TEST(TextWhiteSpace, FoldingAgreesWithTheCharacterByCharacterRule) {
    // Every White_Space character, and characters next to the set's edges, in random mixes.
    const char16_t alphabet[] = {u' ',   u'\t',  u'\n',  u'\v',  u'\f',  u'\r',  0x08,   0x0E,
                                 0x1F,   0x85,   0xA0,   0x1680, 0x1FFF, 0x2000, 0x200A, 0x200B,
                                 0x2028, 0x2029, 0x202F, 0x205F, 0x3000, u'a',   u'b',   0x05BE,
                                 0xD83D, 0xDE00, u'.',   0x180E, 0xFEFF, 0x1C,   0x2027, 0x3001};
    auto reference = [](const QString& input) {
        QString out;
        bool pending = false;
        for (QChar c : input) {
            if (text::isWhiteSpace(c.unicode())) {
                pending = !out.isEmpty();
                continue;
            }
            if (pending)
                out += QLatin1Char(' ');
            pending = false;
            out += c;
        }
        return out;
    };
    quint32 seed = 12345;
    for (int round = 0; round < 4000; ++round) {
        QString input;
        const int length = int(seed % 24);
        for (int i = 0; i < length; ++i) {
            seed = seed * 1103515245u + 12345u;
            input += QChar(alphabet[(seed >> 16) % std::size(alphabet)]);
        }
        seed = seed * 1103515245u + 12345u;
        ASSERT_EQ(text::collapseWhiteSpace(input), reference(input)) << input.toStdString();
    }
}
