#include "core/Json.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

#include <cmath>

using namespace quillmere;

namespace {
QJsonObject parse(const char* text) {
    return json::parseObject(QByteArray(text)).value();
}
} // namespace

TEST(JsonReaders, TellAbsentNullAndWrongTypeApart) {
    const QJsonObject o = parse(R"({"s":"x","n":null,"i":3,"d":2.5,"b":true,"a":[1],"o":{}})");
    EXPECT_EQ(json::string(o, "missing").presence, json::Presence::absent);
    EXPECT_EQ(json::string(o, "n").presence, json::Presence::null);
    EXPECT_EQ(json::string(o, "i").presence, json::Presence::wrongType);
    EXPECT_EQ(json::string(o, "s").optional(), QString("x"));
    EXPECT_TRUE(json::number(o, "s").isWrongType());
    EXPECT_EQ(json::number(o, "d").value, 2.5);
    EXPECT_EQ(json::boolean(o, "b").value, true);
    EXPECT_TRUE(json::boolean(o, "i").isWrongType());
    EXPECT_TRUE(json::array(o, "o").isWrongType());
    EXPECT_TRUE(json::object(o, "a").isWrongType());
    EXPECT_TRUE(json::object(o, "n").isAbsentOrNull());
}

TEST(JsonReaders, IntegersMustBeWholeAndFit) {
    const QJsonObject o = parse(R"({"a":7,"b":2.5,"c":1e3,"d":1e300,"e":-9007199254740993,"f":"7","g":0})");
    EXPECT_EQ(json::integer(o, "a").optional(), 7);
    EXPECT_TRUE(json::integer(o, "b").isWrongType());
    EXPECT_EQ(json::integer(o, "c").optional(), 1000);
    EXPECT_TRUE(json::integer(o, "d").isWrongType());
    EXPECT_EQ(json::integer(o, "e").optional(), qint64(-9007199254740993LL));
    EXPECT_TRUE(json::integer(o, "f").isWrongType());
    // Zero is a number, never a Boolean.
    EXPECT_TRUE(json::boolean(o, "g").isWrongType());
}

TEST(JsonReaders, DocumentsOfTheWrongShapeOrMalformedGiveNone) {
    EXPECT_FALSE(json::parseObject("[1]"));
    EXPECT_FALSE(json::parseObject(""));
    EXPECT_FALSE(json::parseObject("{\"a\":"));
    EXPECT_FALSE(json::parseObject("{} trailing"));
    EXPECT_FALSE(json::parseArray("{}"));
    EXPECT_TRUE(json::parseArray("[]"));
    // Hostile nesting is refused, not a stack overflow.
    EXPECT_FALSE(json::parseObject(QByteArray(100000, '[')));
    QByteArray deep = "{\"a\":" + QByteArray(5000, '[') + QByteArray(5000, ']') + "}";
    EXPECT_FALSE(json::parseObject(deep));
}

TEST(JsonWriter, EscapesAsThePlatformSerializerDoes) {
    EXPECT_EQ(json::quoted(u"a/b"), R"("a\/b")");
    EXPECT_EQ(json::quoted(u"q\"b\\"), R"("q\"b\\")");
    EXPECT_EQ(json::quoted(u"\b\f\n\r\t"), R"("\b\f\n\r\t")");
    EXPECT_EQ(json::quoted(QString(QChar(0x01)) + QChar(0x1F) + QChar(0x7F)),
              QByteArray("\"\\u0001\\u001f\x7f\""));
    // Non-ASCII stays raw UTF-8, line separators included.
    EXPECT_EQ(json::quoted(u"\u00E9\u2028\U0001F600"),
              QByteArray("\"\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80\""));
}

TEST(JsonWriter, NumbersInTheirShortestForms) {
    EXPECT_EQ(json::formatNumber(1.0), "1");
    EXPECT_EQ(json::formatNumber(1.5), "1.5");
    EXPECT_EQ(json::formatNumber(-0.25), "-0.25");
    EXPECT_EQ(json::formatNumber(97.8), "97.8");
    EXPECT_EQ(json::formatNumber(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(json::formatNumber(1e21), "1e+21");
    EXPECT_EQ(json::formatNumber(123456789012.5), "123456789012.5");
    EXPECT_EQ(json::formatNumber(0.0001), "0.0001");
    EXPECT_EQ(json::formatNumber(0.00001), "1e-05");
    EXPECT_EQ(json::formatNumber(1.5e300), "1.5e+300");
    EXPECT_EQ(json::formatNumber(0.0), "0");
    EXPECT_EQ(json::formatNumber(std::nan("")), "null");
    EXPECT_EQ(json::write(json::Value(qint64(-9007199254740993LL))), "-9007199254740993");
}

TEST(JsonWriter, CompactKeepsInsertionOrderOrSortsByScalarValue) {
    const json::Value v(
        json::Object{{"b", 1},
                     {"a", json::Object{{"z", true}, {QString::fromUtf16(u"\u00E9"), nullptr}, {"Z", "x/y"}}},
                     {"host10", json::Array{}},
                     {"host2", 2.5}});
    EXPECT_EQ(
        json::write(v),
        QByteArray(
            "{\"b\":1,\"a\":{\"z\":true,\"\xC3\xA9\":null,\"Z\":\"x\\/y\"},\"host10\":[],\"host2\":2.5}"));
    EXPECT_EQ(
        json::write(v, {.sortedKeys = true}),
        QByteArray(
            "{\"a\":{\"Z\":\"x\\/y\",\"z\":true,\"\xC3\xA9\":null},\"b\":1,\"host10\":[],\"host2\":2.5}"));
}

TEST(JsonWriter, SortsAstralKeysAfterPrivateUseByScalarValue) {
    // UTF-16 order would put U+1F600 (a surrogate pair) before U+E000; scalar order does not.
    const json::Value v(
        json::Object{{QString::fromUtf16(u"\U0001F600"), 1}, {QString::fromUtf16(u"\uE000"), 2}});
    EXPECT_EQ(json::write(v, {.sortedKeys = true}),
              QByteArray("{\"\xEE\x80\x80\":2,\"\xF0\x9F\x98\x80\":1}"));
}

TEST(JsonWriter, PrettyFormUsesTwoSpacesAndSpacedColons) {
    const json::Value v(json::Object{{"state", "launched"},
                                     {"list", json::Array{1, json::Object{}}},
                                     {"empty", json::Array{}},
                                     {"nested", json::Object{{"k", nullptr}}}});
    EXPECT_EQ(json::write(v, {.pretty = true, .sortedKeys = true}), QByteArray("{\n"
                                                                               "  \"empty\" : [\n"
                                                                               "\n"
                                                                               "  ],\n"
                                                                               "  \"list\" : [\n"
                                                                               "    1,\n"
                                                                               "    {\n"
                                                                               "\n"
                                                                               "    }\n"
                                                                               "  ],\n"
                                                                               "  \"nested\" : {\n"
                                                                               "    \"k\" : null\n"
                                                                               "  },\n"
                                                                               "  \"state\" : \"launched\"\n"
                                                                               "}"));
    EXPECT_EQ(json::write(json::Object{}, {.pretty = true}), "{\n\n}");
}

TEST(JsonWriter, ParsedValuesRoundTrip) {
    const QByteArray text = R"({"a":[1,2.5,"x\/y",null,true],"b":{"c":-3}})";
    const auto parsed = QJsonDocument::fromJson(text);
    EXPECT_EQ(json::write(json::Value::from(parsed.object())), text);
}

// Half of a surrogate pair without its other half (a text cut inside a character) is written as
// an escape only when asked, and read back as that very unit; by default it stays "?", and every
// well-formed text is written alike either way.
TEST(JsonWriter, LoneSurrogatesAreEscapedOnlyWhenAsked) {
    const auto units = [](std::initializer_list<char16_t> list) {
        return QString(reinterpret_cast<const QChar*>(std::data(list)), qsizetype(list.size()));
    };
    struct Case {
        const char* name;
        QString text;
        QByteArray escaped;
        QByteArray byDefault;
    };
    const Case cases[] = {
        {"a high half at the end", units({'a', 'b', 'c', 0xD83D}), R"("abc\ud83d")", R"("abc?")"},
        {"a high half at the start", units({0xDBFF, 'x'}), R"("\udbffx")", R"("?x")"},
        {"a low half at the start", units({0xDC00, 'x'}), R"("\udc00x")", R"("?x")"},
        {"a low half at the end", units({'x', 0xDFFF}), R"("x\udfff")", R"("x?")"},
        {"a half alone", units({0xD800}), R"("\ud800")", R"("?")"},
        {"a valid pair", units({'o', 'k', 0xD83D, 0xDE00}), "\"ok\xF0\x9F\x98\x80\"",
         "\"ok\xF0\x9F\x98\x80\""},
        {"halves in the wrong order", units({0xDE00, 0xD83D}), R"("\ude00\ud83d")", R"("??")"},
        {"a high half before a pair", units({0xD83D, 0xD83D, 0xDE00}), "\"\\ud83d\xF0\x9F\x98\x80\"",
         "\"?\xF0\x9F\x98\x80\""},
        {"among NULs and other escapes", units({0, 0xD83D, 0, '/', 0xD83D, 0xDE00, '\n', 0xDC00, 0}),
         "\"\\u0000\\ud83d\\u0000\\/\xF0\x9F\x98\x80\\n\\udc00\\u0000\"",
         "\"\\u0000?\\u0000\\/\xF0\x9F\x98\x80\\n?\\u0000\""},
        {"NULs alone", units({0, 'a', 0}), R"("\u0000a\u0000")", R"("\u0000a\u0000")"},
        {"empty", QString(), R"("")", R"("")"},
        {"escapes among runs of plain text", QString("path a/b, \"quoted\" and c\\d, then more"),
         R"("path a\/b, \"quoted\" and c\\d, then more")", R"("path a\/b, \"quoted\" and c\\d, then more")"},
        {"a control character and DEL among runs of plain text",
         QString::fromUtf16(u"abcdefg\x1fhijklmn\x7fopq"), "\"abcdefg\\u001fhijklmn\x7fopq\"",
         "\"abcdefg\\u001fhijklmn\x7fopq\""},
        {"a pair across the eighth unit", units({'a', 'b', 'c', 'd', 'e', 'f', 'g', 0xD83D, 0xDE00, 'h'}),
         "\"abcdefg\xF0\x9F\x98\x80h\"", "\"abcdefg\xF0\x9F\x98\x80h\""},
        {"a high half after eight plain units", units({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0xD83D}),
         R"("abcdefgh\ud83d")", R"("abcdefgh?")"},
        {"every other escape, two and three bytes",
         QString::fromUtf16(u"\"\\/\b\f\r\t\x1f\x7f\xe9\u4e2d\uffff"),
         "\"\\\"\\\\\\/\\b\\f\\r\\t\\u001f\x7f\xc3\xa9\xe4\xb8\xad\xef\xbf\xbf\"",
         "\"\\\"\\\\\\/\\b\\f\\r\\t\\u001f\x7f\xc3\xa9\xe4\xb8\xad\xef\xbf\xbf\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(json::write(c.text, {.escapeLoneSurrogates = true}), c.escaped);
        EXPECT_EQ(json::write(c.text), c.byDefault);
        EXPECT_EQ(json::quoted(c.text), c.byDefault);
        // What is worked out ahead of writing is what the escapes take.
        EXPECT_EQ(json::quotedSize(c.text), std::size_t(c.escaped.size()));
        EXPECT_EQ(json::parseArray("[" + c.escaped + "]").value().at(0).toString(), c.text);
        // Keys alike.
        const json::Value object(json::Object{{c.text, 1}, {"b", 2}});
        EXPECT_EQ(json::write(object, {.escapeLoneSurrogates = true}), "{" + c.escaped + ":1,\"b\":2}");
        EXPECT_EQ(json::write(object), "{" + c.byDefault + ":1,\"b\":2}");
        EXPECT_EQ(json::write(object, {.pretty = true, .escapeLoneSurrogates = true}),
                  "{\n  " + c.escaped + " : 1,\n  \"b\" : 2\n}");
    }
}
