#include <QByteArray>
#include <QRandomGenerator>
#include <QString>
#include <gtest/gtest.h>
#include <vector>

#include "desktop/observation/CodexLocalConversationArchive.h"

namespace quillmere {
namespace {

namespace archive = CodexLocalConversationArchive;
using archive::ItemDecoding;
using ConversationText::Message;

const QString user = QStringLiteral("userMessage");
const QString agent = QStringLiteral("agentMessage");

std::string describe(const ItemDecoding& d) {
    if (!d.isObject)
        return "not an object";
    if (!d.message)
        return "left out";
    return d.message->role.toStdString() + ": " +
           d.message->text.toUtf8().toPercentEncoding(" ").toStdString();
}

// The fast reading must never differ from the general parser's, whether it reads the document
// itself or hands it over.
void expectSameAsParser(const QByteArray& json) {
    for (const QString& type : {user, agent}) {
        const ItemDecoding expected = archive::decodeItemWithDocument(type, json);
        const ItemDecoding actual = archive::decodeItem(type, json);
        EXPECT_EQ(actual, expected) << type.toStdString() << " "
                                    << json.toPercentEncoding(" {}[]:,\"").toStdString()
                                    << "\n  parser: " << describe(expected)
                                    << "\n  fast:   " << describe(actual);
        if (const std::optional<ItemDecoding> scanned = archive::scanItem(type, json)) {
            EXPECT_EQ(*scanned, expected) << json.toStdString();
        }
    }
}

ItemDecoding agentText(const QString& text) {
    return {true, Message{QStringLiteral("assistant"), text}};
}

TEST(CodexArchiveItems, readsTheHostsPlainShapesWithoutTheGeneralParser) {
    const struct {
        QString type;
        QByteArray json;
        ItemDecoding expected;
    } cases[] = {
        {user, R"({"content":[{"type":"text","text":"Hello"}]})", {true, Message{"user", "Hello"}}},
        {user,
         R"({"id":"x","content":[{"type":"image","url":"u"},{"type":"text","text":"a"},7,{"text":"b","type":"text"}]})",
         {true, Message{"user", "a\nb"}}},
        {user, R"({"content":"text"})", {true, Message{"user", ""}}},
        {user,
         R"({"content":[{"type":"text","text":null},{"type":"text","text":["x"]}]})",
         {true, Message{"user", ""}}},
        {user, R"( { } )", {true, Message{"user", ""}}},
        {agent, R"({"phase":"final_answer","text":"Done.\n\nNext \"step\" \\ \/ \t"})",
         agentText(QStringLiteral("Done.\n\nNext \"step\" \\ / \t"))},
        {agent, R"({"text":"Thinking","phase":"commentary","n":-12.50,"ok":true,"no":false,"z":null})",
         agentText(QStringLiteral("Thinking"))},
        {agent, R"({"phase":"final_answer"})", agentText(QString())},
        {agent, R"({"phase":"final_answer","text":42})", agentText(QString())},
        {agent, R"({"phase":"analysis","text":"internal"})", {true, std::nullopt}},
        {agent, R"({"phase":null,"text":"x"})", {true, std::nullopt}},
        {agent, R"({"text":"x"})", {true, std::nullopt}},
        {agent, "{\"phase\":\"final_answer\",\"text\":\"\\u00e9 \\ud83d\\ude00 \\u05be \\u0000\"}",
         agentText(QString::fromUtf16(u"\u00e9 \U0001F600 \u05BE ") + QChar(0))},
        {agent,
         "{\"phase\":\"final_answer\",\"text\":\"\xc3\xa9 \xf0\x9f\x98\x80 \xd7\x95\xd6\xbe"
         "427\"}",
         agentText(QString::fromUtf16(u"\u00e9 \U0001F600 \u05D5\u05BE427"))},
        {agent, "{\"phase\":\"final_answer\",\"text\":\"\\ud800 alone \\udc00\"}",
         agentText(QString(QChar(0xD800)) + QStringLiteral(" alone ") + QChar(0xDC00))},
        {agent, R"({"meta":{"a":[1,[2,{"b":"c"}],{}],"d":[]},"phase":"final_answer","text":"t"})",
         agentText("t")},
    };
    for (const auto& c : cases) {
        const std::optional<ItemDecoding> scanned = archive::scanItem(c.type, c.json);
        ASSERT_TRUE(scanned.has_value()) << c.json.toStdString();
        EXPECT_EQ(*scanned, c.expected) << c.json.toStdString() << " gave " << describe(*scanned);
        EXPECT_EQ(archive::decodeItemWithDocument(c.type, c.json), c.expected) << c.json.toStdString();
    }
}

TEST(CodexArchiveItems, leavesUnusualDocumentsToTheGeneralParser) {
    const QByteArray unusual[] = {
        // Repeated keys: the general parser keeps the last.
        R"({"phase":"final_answer","text":"first","text":"second"})",
        R"({"phase":"analysis","phase":"commentary","text":"t"})",
        R"({"content":[],"content":[{"type":"text","text":"later"}]})",
        R"({"content":[{"type":"text","text":"a","text":"b"}]})",
        R"({"content":[{"type":"image","type":"text","text":"b"}]})",
        // Keys spelled with escapes.
        R"({"phase":"final_answer","te\u0078t":"escaped key"})",
        // Raw control characters and escapes outside JSON's own.
        "{\"phase\":\"final_answer\",\"text\":\"tab\there\"}",
        R"({"phase":"final_answer","text":"\U0041 \x41"})",
        R"({"phase":"final_answer","text":"\u12"})",
        // Numbers outside plain decimals, some of which the general parser takes.
        R"({"phase":"final_answer","text":"t","n":1e5})",
        R"({"phase":"final_answer","text":"t","n":1E+400})",
        R"({"phase":"final_answer","text":"t","n":1.})",
        R"({"phase":"final_answer","text":"t","n":01})",
        R"({"phase":"final_answer","text":"t","n":-})",
        R"({"phase":"final_answer","text":"t","n":.5})",
        R"({"phase":"final_answer","text":"t","n":+1})",
        // A byte order mark, other blanks, other top levels, broken structure.
        "\xef\xbb\xbf{\"phase\":\"final_answer\",\"text\":\"bom\"}",
        "{\"phase\":\"final_answer\",\"text\":\"t\"}\f",
        "\v{\"phase\":\"final_answer\",\"text\":\"t\"}",
        R"(["phase","final_answer"])",
        R"("text")",
        "",
        "   ",
        R"({"phase":"final_answer","text":"t",})",
        R"({"phase":"final_answer","text":"t"} {})",
        R"({"phase":"final_answer","text":"t"}x)",
        R"({"phase":"final_answer" "text":"t"})",
        R"({"phase":"final_answer","text":"t")",
        R"({"phase":"final_answer","text":"unterminated})",
        R"({"phase":"final_answer","text":"t","a":[1,2,]})",
        R"({"phase":"final_answer","text":"t","a":tru})",
        R"({"phase":"final_answer","text":"t","a":True})",
        R"({phase:"final_answer","text":"t"})",
        R"({'phase':'final_answer'})",
        R"({"content":[{"type":"text","text":"a"}})",
        R"({"content":[{"type":"text","text":"a"]})",
        R"({"content":{"type":"text","text":"a"}})",
    };
    for (const QByteArray& json : unusual)
        expectSameAsParser(json);

    // Nesting beyond what the scanner follows, and beyond what the general parser accepts.
    for (int depth : {63, 64, 65, 200, 1100}) {
        const QByteArray json = R"({"phase":"final_answer","text":"deep","x":)" + QByteArray(depth, '[') +
                                QByteArray(depth, ']') + "}";
        expectSameAsParser(json);
    }
}

TEST(CodexArchiveItems, agreesWithTheParserOnEveryEscapeAndCharacter) {
    // Every escape, every UTF-16 unit through \u (lone surrogates included) and characters of
    // every UTF-8 length, noncharacters and the last code point included.
    QByteArray text;
    for (const char* escape : {"\\\"", "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t"})
        text += escape;
    for (int unit = 0; unit < 0x10000; unit += 0x101)
        text += "\\u" + QByteArray::number(unit, 16).rightJustified(4, '0');
    text += "\\uD83D\\uDE00\\uDBFF\\uDFFF\\uDFFF\\uD800";
    for (const char32_t code : {U'\u007F', U'\u0080', U'\u07FF', U'\u0800', U'\uD7FF', U'\uE000', U'\uFDD0',
                                U'\uFFFE', U'\uFFFF', U'\U00010000', U'\U0001F600', U'\U0010FFFF'})
        text += QString::fromUcs4(&code, 1).toUtf8();
    expectSameAsParser(R"({"phase":"final_answer","text":")" + text + R"("})");
    expectSameAsParser(R"({"content":[{"type":"text","text":")" + text + R"("}]})");
    // The same text in a key: escaped keys go to the parser, plain non-ASCII ones are compared.
    expectSameAsParser(R"({")" + text + R"(":1,"phase":"commentary","text":"k"})");
    expectSameAsParser("{\"t\xc3\xa9xt\":\"x\",\"phase\":\"commentary\",\"text\":\"k\"}");
}

TEST(CodexArchiveItems, neverReadsDamagedUtf8AsText) {
    // The reader repairs item bodies before decoding them; the scanner still refuses any bytes
    // that are not well-formed UTF-8 rather than misreading them.
    const QByteArray damaged[] = {
        "\xc3",
        "\xc0\xaf",
        "\xe0\x80\xaf",
        "\xed\xa0\x80",
        "\xf4\x90\x80\x80",
        "\xf8\x88\x80",
        "\xff",
        "\xe2\x82",
        "\x80",
        "\xf0\x9f\x98",
        "\xc2\x7f",
        "\xef\xbf\xbe\xbf",
        "\xf0\x8f\xbf\xbf",
    };
    for (const QByteArray& bytes : damaged) {
        const QByteArray json = R"({"phase":"final_answer","text":"a)" + bytes + R"(b"})";
        if (!json.isValidUtf8()) {
            EXPECT_FALSE(archive::scanItem(agent, json).has_value())
                << json.toPercentEncoding().toStdString();
            expectSameAsParser(QString::fromUtf8(json).toUtf8());
        } else {
            expectSameAsParser(json);
        }
    }
}

// Random documents near the hosts' shapes, then damaged at random: the fast reading and the
// general parser must agree on every one.
class DocumentFuzzer {
public:
    explicit DocumentFuzzer(quint32 seed) : random_(seed) {}

    QByteArray document() {
        QByteArray json = "{";
        const int members = int(random_.bounded(5));
        const bool userShape = random_.bounded(2) == 0;
        for (int i = 0; i < members; ++i) {
            if (i)
                json += pick({",", ",", ",", " , ", ",\n"});
            if (userShape && random_.bounded(2)) {
                json += "\"content\":" + content();
            } else {
                json += quoted(pick({"phase", "text", "type", "id", "content", "phase", "text"})) + ":";
                json += random_.bounded(3) ? quoted(pick({"final_answer", "commentary", "analysis", ""})) + ""
                                           : value(2);
                if (random_.bounded(2))
                    json += ",\"text\":" + stringValue();
            }
        }
        return json + "}";
    }

    QByteArray damaged(QByteArray json) {
        const int edits = 1 + int(random_.bounded(3));
        for (int e = 0; e < edits && !json.isEmpty(); ++e) {
            const qsizetype at = random_.bounded(json.size());
            switch (random_.bounded(4)) {
            case 0:
                json.remove(at, 1);
                break;
            case 1:
                json.insert(at,
                            pick({"\"", "\\", ",", "}", "]", "[", "{", ":", " ", "\t", "\x01", "\xc3", "e"}));
                break;
            case 2:
                json.truncate(at);
                break;
            default:
                json[at] = char(random_.bounded(256));
                break;
            }
        }
        // Item bodies reach the decoder repaired, as the reader hands them over.
        return QString::fromUtf8(json).toUtf8();
    }

private:
    QByteArray pick(std::initializer_list<const char*> options) {
        return QByteArray(options.begin()[random_.bounded(int(options.size()))]);
    }

    static QByteArray quoted(const QByteArray& text) { return "\"" + text + "\""; }

    QByteArray stringValue() {
        QByteArray text;
        const int pieces = int(random_.bounded(8));
        for (int i = 0; i < pieces; ++i)
            text += pick({"word ", "Works for \xd7\x95\xd6\xbe 427", "\\n\\n", "\\\"", "\\\\", "\\/",
                          "\\u00e9", "\\ud83d\\ude00", "\\ud800", "\\u0000", "\xf0\x9f\x98\x80", "**bold**",
                          " .", "\\t", "\xef\xbf\xbe", "0123456789abcdef0123"});
        return quoted(text);
    }

    QByteArray content() {
        QByteArray json = "[";
        const int parts = int(random_.bounded(4));
        for (int i = 0; i < parts; ++i) {
            if (i)
                json += ",";
            if (random_.bounded(5) == 0) {
                json += value(2);
                continue;
            }
            json += "{\"type\":" + (random_.bounded(4) ? QByteArray("\"text\"") : value(3));
            json += ",\"text\":" + (random_.bounded(5) ? stringValue() : value(3));
            if (random_.bounded(6) == 0)
                json += ",\"text\":" + stringValue();
            json += "}";
        }
        return json + "]";
    }

    QByteArray value(int depth) {
        switch (random_.bounded(depth > 0 ? 8 : 5)) {
        case 0:
            return stringValue();
        case 1:
            return pick({"0", "-0", "12", "-3.25", "1e3", "1.", "007", "123456789012345678901234567890"});
        case 2:
            return pick({"true", "false", "null"});
        case 3:
            return "\"\"";
        case 4:
            return "[]";
        case 5:
            return "[" + value(depth - 1) + "," + value(depth - 1) + "]";
        case 6:
            return "{\"k\":" + value(depth - 1) + ",\"k\":" + value(depth - 1) + "}";
        default:
            return "{\"text\":" + value(depth - 1) + "}";
        }
    }

    QRandomGenerator random_;
};

TEST(CodexArchiveItems, agreesWithTheParserOnRandomAndDamagedDocuments) {
    DocumentFuzzer fuzzer(20260611);
    int scanned = 0;
    for (int i = 0; i < 4000; ++i) {
        const QByteArray json = fuzzer.document();
        expectSameAsParser(json);
        scanned += archive::scanItem(user, json).has_value();
        expectSameAsParser(fuzzer.damaged(json));
        if (::testing::Test::HasFailure())
            return;
    }
    // Most well-formed documents take the fast way; otherwise this test would prove little.
    EXPECT_GT(scanned, 2000);
}

} // namespace
} // namespace quillmere
