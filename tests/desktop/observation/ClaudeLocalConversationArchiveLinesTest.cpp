#include "desktop/observation/ClaudeLocalConversationArchiveLines.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRandomGenerator>
#include <gtest/gtest.h>

#include "core/Json.h"

using namespace quillmere;
using namespace quillmere::ClaudeLocalConversationArchive;

namespace {

const QString kPieces[] = {QStringLiteral("the filter"),
                           QStringLiteral("données"),
                           QStringLiteral("שלום"),
                           QStringLiteral("東京の天気"),
                           QStringLiteral("😀👍🏽"),
                           QStringLiteral("line\nbreak"),
                           QStringLiteral("quote \" and \\ slash /"),
                           QStringLiteral("tab\tand \x1b[31mcolour"),
                           QStringLiteral("e\u0301"),
                           QStringLiteral("  ")};

QString text(QRandomGenerator& random) {
    QString out;
    const int pieces = 1 + int(random.bounded(5));
    for (int i = 0; i < pieces; ++i)
        out += kPieces[random.bounded(int(std::size(kPieces)))] + u' ';
    return out;
}

// A transcript line of any kind the host writes, with the variations that matter to the reader.
QByteArray randomLine(QRandomGenerator& random) {
    QJsonObject object;
    const int shape = int(random.bounded(10));
    if (shape == 0)
        return json::write(json::Value::from(QJsonObject{{"type", "summary"}, {"summary", text(random)}}));
    object.insert("uuid", QStringLiteral("u-%1").arg(random.bounded(50)));
    const int parent = int(random.bounded(8));
    if (parent == 1)
        object.insert("parentUuid", QJsonValue());
    else if (parent == 2)
        object.insert("parentUuid", 7);
    else if (parent > 2)
        object.insert("parentUuid", QStringLiteral("u-%1").arg(random.bounded(50)));
    const char* const types[] = {"user", "assistant", "progress", "system"};
    object.insert("type", types[random.bounded(4)]);
    if (random.bounded(2))
        object.insert("origin", QJsonObject{{"kind", random.bounded(4) ? "human" : "tool"}});
    object.insert("timestamp", random.bounded(6) ? QJsonValue("2026-09-29T08:00:10.250Z") : QJsonValue(12));
    QJsonValue content;
    switch (random.bounded(4)) {
    case 0:
        content = text(random);
        break;
    case 1:
        content =
            QJsonArray{QJsonObject{{"type", "text"}, {"text", text(random)}},
                       QJsonObject{{"type", "tool_use"}, {"input", QJsonObject{{"path", text(random)}}}},
                       QJsonObject{{"type", "text"}, {"text", ""}}, 5,
                       QJsonObject{{"type", "text"}, {"text", text(random)}}};
        break;
    case 2:
        content = QJsonArray{QJsonObject{{"type", "tool_result"}, {"content", text(random)}}};
        break;
    default:
        content = QJsonObject{{"text", text(random)}};
    }
    object.insert("message",
                  QJsonObject{{"role", "x"}, {"content", content}, {"usage", QJsonObject{{"n", 1.5}}}});
    object.insert("isSidechain", random.bounded(2) == 1);
    return json::write(json::Value::from(object));
}

// The line with one byte changed, inserted or removed, or cut short.
QByteArray damaged(QByteArray line, QRandomGenerator& random) {
    const char* const bytes = "\"\\{}[],:0e-.nu \xff\xc3\xa9\x80\xef\xbb\xbf\x01";
    const int times = 1 + int(random.bounded(3));
    for (int t = 0; t < times && !line.isEmpty(); ++t) {
        const qsizetype at = qsizetype(random.bounded(int(line.size())));
        const char byte = bytes[random.bounded(int(std::strlen(bytes)))];
        switch (random.bounded(4)) {
        case 0:
            line[at] = byte;
            break;
        case 1:
            line.insert(at, byte);
            break;
        case 2:
            line.remove(at, 1);
            break;
        default:
            line.truncate(at);
        }
    }
    return line;
}

void expectSameReading(const QByteArray& line) {
    const LineOutline light = outlineLine(line);
    const LineOutline parsed = outlineLineByParser(line);
    EXPECT_TRUE(light.sameAs(parsed)) << line.toStdString();
    EXPECT_EQ(readRowContent(line), readRowContentByParser(line)) << line.toStdString();
}

} // namespace

TEST(ClaudeArchiveLines, TheLightReadingAgreesWithTheParserOnEveryLine) {
    QRandomGenerator random(2718);
    int light = 0;
    for (int i = 0; i < 3000; ++i) {
        const QByteArray line = randomLine(random);
        expectSameReading(line);
        light += outlineLine(line).parsed ? 0 : 1;
        for (int d = 0; d < 4; ++d)
            expectSameReading(damaged(line, random));
    }
    // Lines as the host writes them are read without the parser.
    EXPECT_GT(light, 2900);
}

TEST(ClaudeArchiveLines, WhatTheParserReadsItsOwnWayIsLeftToIt) {
    const QByteArray cases[] = {
        R"({"uuid":"a","uuid":"b","type":"user"})",
        R"({"uuid":"a","message":{"content":"x","content":"y"},"type":"assistant"})",
        R"({"uuid":"a","type":"assistant","message":{"content":[{"type":"text","text":"1","text":"2"}]}})",
        R"({"\u0075uid":"a","type":"user"})",
        R"({"uuid":"a","type":"assistant","message":{"content":[{"typ\u0065":"text","text":"k"}]}})",
        R"({"uuid":"a\u0000b","parentUuid":"\ud800","type":"user"})",
        R"({"uuid":"a","type":"assistant","message":{"content":"\ud83d\ude00 \udc00"}})",
        "{\"uuid\":\"a\",\"type\":\"assistant\",\"message\":{\"content\":\"\xef\xbb\xbfx\"}}",
        "{\"uuid\":\"a\",\"type\":\"assistant\",\"message\":{\"content\":\"raw\x01\x7f\"}}",
        "\xef\xbb\xbf{\"uuid\":\"a\",\"type\":\"user\"}",
        R"({"uuid":"a","type":"assistant","message":{"content":"\x\q"}})",
        R"({"uuid":"a","n":1e400})",
        R"({"uuid":"a","n":1.,"m":-0})",
        R"({"uuid":"a","n":012})",
        R"({"uuid":"a","n":123456789012345678901234567890})",
        R"({"uuid":"a","type":"user","parentUuid":{}})",
        R"({"uuid":"","parentUuid":5})",
        R"({"uuid":5})",
        R"({"uuid":"a","type":"user","origin":{"kind":"human","kind":"tool"},"message":{"content":"x"}})",
        R"({"uuid":"a","type":"assistant","timestamp":"2026-09-29T08:00:10Z","message":{"content":"x"}})",
        R"({"uuid":"a","type":"assistant","timestamp":"2026-09-29T10:00:10+02:00","message":{"content":"x"}})",
        R"({"uuid":"a","type":"assistant","timestamp":"\u0032026-09-29T08:00:10.5Z","message":{"content":"x"}})",
        R"({"uuid":"a"} x)",
        R"({"uuid":"a",})",
        "{\"uuid\":\"a\"}\t \r",
        "{\f\"uuid\":\"a\"}",
        R"(["uuid"])",
        R"("uuid")",
        "{\"uuid\":\"\xed\xa0\x80\"}",
        "{\"uuid\":\"\xc0\xaf\"}",
        "{\"uuid\":\"\xf4\x90\x80\x80\"}",
        "{\"uuid\":\"\xef\xbf\xbe\"}",
        "{\"uuid\":\"\xff\"} garbage",
        QByteArray(200, '[') + QByteArray(200, ']'),
        "{\"uuid\":\"a\",\"deep\":" + QByteArray(100, '[') + QByteArray(100, ']') + "}",
        "",
        "{",
    };
    for (const QByteArray& line : cases)
        expectSameReading(line);
    EXPECT_EQ(outlineLine(R"({"uuid":"a","uuid":"b"})").uuid, "b");
    EXPECT_EQ(outlineLine("{\"uuid\":\"\xff\"}").verdict, LineVerdict::invalidUtf8);
}

TEST(ClaudeArchiveLines, ContentIsTheTextAPersonReads) {
    const RowContent human = readRowContent(
        R"({"uuid":"a","parentUuid":null,"type":"user","origin":{"kind":"human"},"timestamp":"2026-09-29T08:00:10.000Z","message":{"content":[{"type":"text","text":"one"},{"type":"image"},{"type":"text","text":"two \u00e9\n"}]}})");
    EXPECT_EQ(human.kind, RowKind::human);
    EXPECT_EQ(human.text, QStringLiteral("one\ntwo é\n"));
    EXPECT_EQ(human.createdAtMs, 1790668810000);
    EXPECT_FALSE(human.outline.parsed);

    // A tool result is a user event but no request; a reply that only calls a tool has no text.
    EXPECT_EQ(readRowContent(R"({"uuid":"b","type":"user","message":{"content":"result"}})").kind,
              RowKind::other);
    const RowContent tool = readRowContent(
        R"({"uuid":"c","type":"assistant","message":{"content":[{"type":"tool_use","input":{"text":"x"}}]}})");
    EXPECT_EQ(tool.kind, RowKind::other);
    EXPECT_EQ(tool.createdAtMs, 0);
}
